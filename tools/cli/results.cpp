#include "results.h"

#include "velmora.h"

namespace velmora::cli {
namespace {

const ResultInfo Results[] = {
    {NDX_ERROR_SUCCESS, "ERROR_SUCCESS", "success"},
    {NDX_ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "memory ran out inside the library"},
    {NDX_ERROR_INVALID_DATA, "ERROR_INVALID_DATA",
     "the device gave two unexpected replies in one call, even after one resynchronisation"},
    {NDX_ERROR_BAD_UNIT, "ERROR_BAD_UNIT", "the value passed is not a live device handle"},
    {NDX_ERROR_BAD_LENGTH, "ERROR_BAD_LENGTH",
     "a count or setting that must be positive is 0 or negative"},
    {NDX_ERROR_READ_FAULT, "ERROR_READ_FAULT", "a reply from the device could not be parsed"},
    {NDX_ERROR_BAD_NET_RESP, "ERROR_BAD_NET_RESP",
     "the device answered \"NOWRK\": it had nothing to do for the request"},
    {NDX_ERROR_BAD_DEV_TYPE, "ERROR_BAD_DEV_TYPE",
     "the device answered \"IOERR\": it reports an input/output error"},
    {NDX_ERROR_NOACCESS, "ERROR_NOACCESS", "caller memory could not be read or written"},
    {NDX_ERROR_NO_NET_OR_BAD_PATH, "ERROR_NO_NET_OR_BAD_PATH",
     "the connection attempt failed: unknown host, nothing listening on the port, or no route"},
    {NDX_ERROR_NO_NETWORK, "ERROR_NO_NETWORK", "no socket could be created"},
    {NDX_ERROR_BAD_TOKEN_TYPE, "ERROR_BAD_TOKEN_TYPE",
     "the operation does not fit the handle's direction (input or output)"},
    {NDX_ERROR_INTERNAL_ERROR, "ERROR_INTERNAL_ERROR", "building a request failed"},
    {NDX_ERROR_INVALID_INDEX, "ERROR_INVALID_INDEX", "a digital line number of 32 or more"},
    {NDX_ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES",
     "a lock or thread could not be created"},
    {NDX_ERROR_TIMEOUT, "ERROR_TIMEOUT", "no reply within the time-out"},
    {NDX_ERROR_NOT_CONNECTED, "ERROR_NOT_CONNECTED", "the connection to the device is down"},
};

const DeviceStatusInfo Statuses[] = {
    {1, "no acquisition running: never started, or stopped by a clear"},
    {2, "no packet completed since the last fetch"},
    {3, "the data store is empty"},
    {4, "a retry came before any request on this connection"},
};

}  // namespace

const ResultInfo* ResultTable(std::size_t* count) {
  *count = sizeof Results / sizeof Results[0];
  return Results;
}

const ResultInfo* FindResult(std::int32_t number) {
  for (const ResultInfo& r : Results)
    if (r.Number == number) return &r;
  return nullptr;
}

const DeviceStatusInfo* DeviceStatusTable(std::size_t* count) {
  *count = sizeof Statuses / sizeof Statuses[0];
  return Statuses;
}

const char* DeviceStatusMeaning(std::int32_t status) {
  for (const DeviceStatusInfo& s : Statuses)
    if (s.Status == status) return s.Meaning;
  return nullptr;
}

std::string DescribeResult(std::int32_t number, std::int32_t deviceStatus) {
  std::string text = std::to_string(number);
  if (const ResultInfo* r = FindResult(number)) {
    text += ' ';
    text += r->Name;
    text += ": ";
    text += r->Meaning;
  } else {
    text += ": not a result number of this library";
  }
  if (number == NDX_ERROR_BAD_NET_RESP && deviceStatus >= 0) {
    text += " (device status " + std::to_string(deviceStatus);
    if (const char* meaning = DeviceStatusMeaning(deviceStatus)) {
      text += ": ";
      text += meaning;
    }
    text += ')';
  }
  return text;
}

}  // namespace velmora::cli
