// The result numbers the device layer returns: Windows system error numbers
// (their Windows names in the comments).
#pragma once

#include <cstdint>

namespace velmora::device {

constexpr std::int32_t ErrorSuccess = 0;              // ERROR_SUCCESS
constexpr std::int32_t ErrorNotEnoughMemory = 8;      // ERROR_NOT_ENOUGH_MEMORY: memory ran out
constexpr std::int32_t ErrorInvalidData = 13;         // ERROR_INVALID_DATA
constexpr std::int32_t ErrorBadUnit = 20;             // ERROR_BAD_UNIT
constexpr std::int32_t ErrorBadLength = 24;           // ERROR_BAD_LENGTH
constexpr std::int32_t ErrorReadFault = 30;           // ERROR_READ_FAULT
constexpr std::int32_t ErrorBadNetResp = 58;          // ERROR_BAD_NET_RESP
constexpr std::int32_t ErrorBadDevType = 66;          // ERROR_BAD_DEV_TYPE
constexpr std::int32_t ErrorNoAccess = 998;           // ERROR_NOACCESS
constexpr std::int32_t ErrorNoNetOrBadPath = 1203;    // ERROR_NO_NET_OR_BAD_PATH
constexpr std::int32_t ErrorNoNetwork = 1222;         // ERROR_NO_NETWORK
constexpr std::int32_t ErrorBadTokenType = 1349;      // ERROR_BAD_TOKEN_TYPE
constexpr std::int32_t ErrorInternalError = 1359;     // ERROR_INTERNAL_ERROR
constexpr std::int32_t ErrorInvalidIndex = 1413;      // ERROR_INVALID_INDEX
constexpr std::int32_t ErrorNoSystemResources = 1450; // ERROR_NO_SYSTEM_RESOURCES: no lock or thread
constexpr std::int32_t ErrorTimeout = 1460;           // ERROR_TIMEOUT
constexpr std::int32_t ErrorNotConnected = 2250;      // ERROR_NOT_CONNECTED

}  // namespace velmora::device
