#include "device/device.h"

#include <cstdio>

#include "device/results.h"
#include "output/json_value.h"
#include "output/terminal.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace velmora::cli {

Failure::Failure(std::string context, std::int32_t result, std::int32_t deviceStatus)
    : std::runtime_error(context + ": " + DescribeResult(result, deviceStatus)),
      Context(std::move(context)),
      Result(result),
      DeviceStatus(deviceStatus) {}

Failure::Failure(std::string message) : std::runtime_error(message), Context(std::move(message)) {}

std::int32_t LibraryLastError() {
#if defined(_WIN32)
  return static_cast<std::int32_t>(GetLastError());
#else
  return NDX_GetLastError();
#endif
}

void Check(std::int32_t result, const std::string& context) {
  if (result == NDX_ERROR_SUCCESS) return;
  throw Failure(context, result, result == NDX_ERROR_BAD_NET_RESP ? LibraryLastError() : 0);
}

std::string Describe(const DeviceOptions& options, bool input) {
  char text[64];
  std::snprintf(text, sizeof text, " port 0x%04X (%s, channel %d)", wire::DevicePort(input, options.Channel),
                input ? "input" : "output", options.Channel);
  return options.Host + text;
}

Device::Device(const DeviceOptions& options, bool input)
    : PortNumber(wire::DevicePort(input, options.Channel)), Text(Describe(options, input)), Where(options) {
  const double start = NowSeconds();
  H = NDX_Connect(options.Host.c_str(), input ? 1 : 0, options.Channel);
  ConnectTime = NowSeconds() - start;
  if (H == nullptr) {
    const std::int32_t result = LibraryLastError();
    throw Failure("cannot connect to " + Text, result != 0 ? result : NDX_ERROR_NO_NET_OR_BAD_PATH);
  }
  if (options.TimeoutMs > 0) {
    const std::int32_t result = NDX_SetTimeout(H, options.TimeoutMs);
    if (result != 0) {
      NDX_Close(H);
      H = nullptr;
      Check(result, "NDX_SetTimeout");
    }
  }
}

JsonValue Device::ToJson() const {
  return {{"host", Where.Host}, {"channel", Where.Channel}, {"port", PortNumber}, {"connect_ms", ConnectTime * 1000}};
}

Device::~Device() {
  if (H != nullptr) NDX_Close(H);
}

void Device::Close() {
  if (H == nullptr) return;
  const std::int32_t result = NDX_Close(H);
  H = nullptr;
  Check(result, "NDX_Close");
}

}  // namespace velmora::cli
