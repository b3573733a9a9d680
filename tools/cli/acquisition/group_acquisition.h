// `acquire --hosts A,B,...`: one acquisition per device, each on its own
// thread with the settings and the exact -t/-n length of a single run,
// started together, into one HDF5 group file (and per-device raw, CSV,
// stamps and plot files with ".dev<i>" before the extension).
//
// With --reconnect, a device whose link drops is closed, reconnected with a
// growing pause until the reconnect time-out, given every setting again and
// restarted. The outage is one gap: the samples the device would have sent
// meanwhile are estimated from the host clock, and the restarted stream
// continues at the index where that estimate ends, so no sample is counted
// twice and none is made up. A device that fails leaves the others running.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "acquisition/acquire_output.h"
#include "acquisition/acquisition.h"
#include "options/options.h"

namespace velmora::cli {

struct GroupRequest {
  std::vector<std::string> Hosts;
  DeviceOptions Device;       // channel and time-out of every device
  AcquireSettings Settings;
  OutputPaths Paths;
  bool Reconnect = false;
  double ReconnectTimeoutS = 30;
  bool Json = false;
  bool Quiet = false;
};

// "rec.bin" for device 2 -> "rec.dev2.bin"; "" stays "".
std::string DevicePath(const std::string& path, std::size_t index);

// Runs the group and prints its summary; the exit status: 0 when every
// device completed, 1 otherwise.
int RunGroupAcquisition(const GroupRequest& request);

}  // namespace velmora::cli
