// The exported entry points, generated from the one export list.
//
// NDX_x is the function itself (cdecl); _NDX_x is a second name for the same
// address (an ELF alias here, a .def alias on Windows); VBNDX_x is a separate
// stdcall wrapper that passes its arguments on unchanged.
#include "velmora.h"

#include "device/device_api.h"
#include "device/function_list.h"
#include "platform/platform.h"

extern "C" {

#define VELMORA_DEFINE_NDX(name, ret, bytes, params, args) \
  VELMORA_API ret VELMORA_CDECL NDX_##name params { return velmora::device::name args; }
VELMORA_FUNCTIONS(VELMORA_DEFINE_NDX)
#undef VELMORA_DEFINE_NDX

#if !defined(_WIN32)
#define VELMORA_DEFINE_ALIAS(name, ret, bytes, params, args) \
  VELMORA_API ret VELMORA_CDECL _NDX_##name params __attribute__((alias("NDX_" #name)));
VELMORA_FUNCTIONS(VELMORA_DEFINE_ALIAS)
#undef VELMORA_DEFINE_ALIAS
#endif

#define VELMORA_DEFINE_VB(name, ret, bytes, params, args) \
  VELMORA_API ret VELMORA_STDCALL VBNDX_##name params { return NDX_##name args; }
VELMORA_FUNCTIONS(VELMORA_DEFINE_VB)
#undef VELMORA_DEFINE_VB

#if !defined(_WIN32)
VELMORA_API int32_t NDX_GetLastError(void) {
  return static_cast<int32_t>(velmora::platform::GetLastError());
}
#endif

}  // extern "C"
