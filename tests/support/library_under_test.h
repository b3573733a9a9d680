// Opens the shared library under test by path.
//
// Its start-up allocates LibraryMutex and the list of live handles and, by
// design, never frees them: unloading closes neither. Under LeakSanitizer
// those load-time allocations are marked as intended, so that everything the
// library allocates later is still checked for leaks.
#pragma once

#include <dlfcn.h>

#include "support/sanitizers.h"

#if defined(VELMORA_TEST_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace velmora::testing {

inline void* LoadLibraryUnderTest(int flags) {
#if defined(VELMORA_TEST_ASAN)
  __lsan_disable();
#endif
  void* lib = dlopen(VELMORA_LIBRARY_FILE, flags);
#if defined(VELMORA_TEST_ASAN)
  __lsan_enable();
#endif
  return lib;
}

}  // namespace velmora::testing
