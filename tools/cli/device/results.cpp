#include "device/results.h"

#include <array>

#include "diff/wire_vocabulary.h"
#include "velmora.h"

namespace velmora::cli {
namespace {

// The numbers only: their names and meanings are the public header's, so the
// tool, the header and every host that prints them say the same.
constexpr std::int32_t Numbers[] = {
    NDX_ERROR_SUCCESS,          NDX_ERROR_NOT_ENOUGH_MEMORY, NDX_ERROR_INVALID_DATA,
    NDX_ERROR_BAD_UNIT,         NDX_ERROR_BAD_LENGTH,        NDX_ERROR_READ_FAULT,
    NDX_ERROR_BAD_NET_RESP,     NDX_ERROR_BAD_DEV_TYPE,      NDX_ERROR_NOACCESS,
    NDX_ERROR_NO_NET_OR_BAD_PATH, NDX_ERROR_NO_NETWORK,      NDX_ERROR_BAD_TOKEN_TYPE,
    NDX_ERROR_INTERNAL_ERROR,   NDX_ERROR_INVALID_INDEX,     NDX_ERROR_NO_SYSTEM_RESOURCES,
    NDX_ERROR_TIMEOUT,          NDX_ERROR_NOT_CONNECTED,
};
constexpr std::size_t ResultCount = sizeof Numbers / sizeof Numbers[0];

const ResultInfo* Results() {
  static const auto table = [] {
    std::array<ResultInfo, ResultCount> t{};
    for (std::size_t i = 0; i < ResultCount; ++i)
      t[i] = {Numbers[i], NDX_ResultName(Numbers[i]), NDX_ResultText(Numbers[i])};
    return t;
  }();
  return table.data();
}

const DeviceStatusInfo Statuses[] = {
    {wire::status::NotStarted, "no acquisition running: never started, or stopped by a clear"},
    {wire::status::NothingNew, "no packet completed since the last fetch"},
    {wire::status::StoreEmpty, "the data store is empty"},
    {wire::status::NoRequest, "a retry came before any request on this connection"},
};

}  // namespace

const ResultInfo* ResultTable(std::size_t* count) {
  *count = ResultCount;
  return Results();
}

const ResultInfo* FindResult(std::int32_t number) {
  for (std::size_t i = 0; i < ResultCount; ++i)
    if (Results()[i].Number == number) return &Results()[i];
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
  const bool withStatus = number == NDX_ERROR_BAD_NET_RESP && deviceStatus >= 0;
  if (withStatus) {
    // The header's text points a host at the last-error value; here the
    // status itself follows.
    text += " ERROR_BAD_NET_RESP: the device answered \"NOWRK\"";
  } else if (const ResultInfo* r = FindResult(number)) {
    text += ' ';
    text += r->Name;
    text += ": ";
    text += r->Meaning;
  } else {
    text += ": ";
    text += NDX_ResultText(number);
  }
  if (withStatus) {
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
