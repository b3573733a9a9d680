// The result numbers the library returns and the status numbers the device
// puts into its "NOWRK" replies, with the names and meanings the tool prints.
// One table, so that every subcommand explains a failure the same way.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::cli {

struct ResultInfo {
  std::int32_t Number;
  const char* Name;     // the Windows system error name (NDX_ResultName)
  const char* Meaning;  // what it means for a caller (NDX_ResultText)
};

// Every number the library can return, in ascending order.
const ResultInfo* ResultTable(std::size_t* count);
// Null for a number the library does not return.
const ResultInfo* FindResult(std::int32_t number);

struct DeviceStatusInfo {
  std::int32_t Status;
  const char* Meaning;
};
const DeviceStatusInfo* DeviceStatusTable(std::size_t* count);
// Null for a status the device does not document.
const char* DeviceStatusMeaning(std::int32_t status);

// "58 ERROR_BAD_NET_RESP: the device answered \"NOWRK\" ...", and for 58 the
// device's status with its meaning when one is given (0 or more).
std::string DescribeResult(std::int32_t number, std::int32_t deviceStatus = -1);

}  // namespace velmora::cli
