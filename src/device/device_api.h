// The device layer's operations, one per exported function, with the same
// parameters. The export layer forwards each entry point here unchanged.
// Every function catches internally: no exception leaves them.
#pragma once

#include <cstdint>

#include "velmora.h"

namespace velmora::device {

#define VELMORA_DEVICE_DECLARE(name, ret, bytes, params, args) ret name params noexcept;
#include "device/function_list.h"
VELMORA_FUNCTIONS(VELMORA_DEVICE_DECLARE)
#undef VELMORA_DEVICE_DECLARE

}  // namespace velmora::device
