// Where the device is: the part of the options every device command shares
// that the rest of the tool needs, apart from the option parser.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::cli {

struct DeviceOptions {
  std::string Host = "127.0.0.1";
  std::int32_t Channel = 0;    // port index 0..15
  std::int32_t TimeoutMs = 0;  // 0: the library's own default (2000 ms)
};

}  // namespace velmora::cli
