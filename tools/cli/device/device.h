// The device as the subcommands see it: where it is (host, channel, reply
// time-out), one open handle in one direction, and the failures of library
// calls as one exception type that the tool reports with the result's
// number, name and meaning. Everything here goes through the library's
// public functions only.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "diff/wire_vocabulary.h"
#include "options/device_options.h"
#include "output/json_value.h"
#include "velmora.h"

namespace velmora::cli {

// A library call that did not give 0. `DeviceStatus` is the device's
// "Status" number for a "NOWRK" reply (58).
struct Failure : std::runtime_error {
  Failure(std::string context, std::int32_t result, std::int32_t deviceStatus = 0);
  Failure(std::string message);  // a failure that is not a library result
  std::string Context;
  std::int32_t Result = -1;  // -1: not a library result
  std::int32_t DeviceStatus = 0;
};

// The last-error value the library left for this thread: NDX_Connect's
// result, or the device's status after a "NOWRK" reply.
std::int32_t LibraryLastError();

// Throws Failure unless `result` is 0.
void Check(std::int32_t result, const std::string& context);

// "127.0.0.1 port 0xED10 (input, channel 0)"
std::string Describe(const DeviceOptions& options, bool input);

class Device {
 public:
  // Connects; throws Failure with the connect result.
  Device(const DeviceOptions& options, bool input);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  NDX_HANDLE Handle() const { return H; }
  double ConnectSeconds() const { return ConnectTime; }
  std::uint16_t Port() const { return PortNumber; }
  const std::string& Name() const { return Text; }
  // {"host", "channel", "port", "connect_ms"}
  JsonValue ToJson() const;

  // Closes now; Close failures are reported (a destructor cannot).
  void Close();

 private:
  NDX_HANDLE H = nullptr;
  double ConnectTime = 0;
  std::uint16_t PortNumber = 0;
  std::string Text;
  DeviceOptions Where;
};

}  // namespace velmora::cli
