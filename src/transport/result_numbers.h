// The result numbers the transport produces, under the names the library's
// code uses: Windows system error numbers, from the public header. The
// device layer's result_codes.h takes these from here and adds its own.
#pragma once

#include <cstdint>

#include "velmora.h"

namespace velmora::transport {

constexpr std::int32_t ErrorNoNetOrBadPath = NDX_ERROR_NO_NET_OR_BAD_PATH;
constexpr std::int32_t ErrorNoNetwork = NDX_ERROR_NO_NETWORK;
constexpr std::int32_t ErrorNoSystemResources = NDX_ERROR_NO_SYSTEM_RESOURCES;
constexpr std::int32_t ErrorNotConnected = NDX_ERROR_NOT_CONNECTED;
// A thread's exit status only, never a result the host sees (ERROR_CANCELLED).
constexpr std::int32_t ErrorCancelled = 1223;

}  // namespace velmora::transport
