// The result numbers the device layer returns: Windows system error numbers.
// The public header is their one source; these are its values under the
// names the library's code uses. Those the transport also returns come from
// its own header, so that each name is written once.
#pragma once

#include <cstdint>

#include "transport/result_numbers.h"
#include "velmora.h"

namespace velmora::device {

using transport::ErrorNoNetOrBadPath;
using transport::ErrorNoNetwork;
using transport::ErrorNoSystemResources;
using transport::ErrorNotConnected;

constexpr std::int32_t ErrorSuccess = NDX_ERROR_SUCCESS;
constexpr std::int32_t ErrorNotEnoughMemory = NDX_ERROR_NOT_ENOUGH_MEMORY;
constexpr std::int32_t ErrorInvalidData = NDX_ERROR_INVALID_DATA;
constexpr std::int32_t ErrorBadUnit = NDX_ERROR_BAD_UNIT;
constexpr std::int32_t ErrorBadLength = NDX_ERROR_BAD_LENGTH;
constexpr std::int32_t ErrorReadFault = NDX_ERROR_READ_FAULT;
constexpr std::int32_t ErrorBadNetResp = NDX_ERROR_BAD_NET_RESP;
constexpr std::int32_t ErrorBadDevType = NDX_ERROR_BAD_DEV_TYPE;
constexpr std::int32_t ErrorNoAccess = NDX_ERROR_NOACCESS;
constexpr std::int32_t ErrorBadTokenType = NDX_ERROR_BAD_TOKEN_TYPE;
constexpr std::int32_t ErrorInternalError = NDX_ERROR_INTERNAL_ERROR;
constexpr std::int32_t ErrorInvalidIndex = NDX_ERROR_INVALID_INDEX;
constexpr std::int32_t ErrorTimeout = NDX_ERROR_TIMEOUT;

}  // namespace velmora::device
