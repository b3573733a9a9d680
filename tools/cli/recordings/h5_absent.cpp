// Builds without the HDF5 library (the Windows cross builds): no HDF5
// recordings; `info` explains why it cannot read one.
#include "device/device.h"
#include "recordings/h5_recording.h"

namespace velmora::cli {

struct H5Recording::Impl {};

bool H5Recording::Available() { return false; }
H5Recording::H5Recording(const std::string&, const RecordingInfo&) {
  throw Failure("this build of velmora has no HDF5 support");
}
H5Recording::~H5Recording() = default;
void H5Recording::Begin() {}
void H5Recording::Sample(std::uint64_t) {}
void H5Recording::Stamp(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t) {}
void H5Recording::Gap(std::uint64_t, std::uint64_t) {}
void H5Recording::Outage(std::uint64_t, std::uint64_t, double, double, bool) {}
double H5Recording::SecondsSinceStart() const { return 0; }
void H5Recording::Flush(bool) {}
void H5Recording::Finish(const RecordingInfo&) {}
void H5Recording::Abandon() {}

RecordingInfo ReadH5Recording(const std::string& path) {
  throw Failure(path + " is an HDF5 file, and this build of velmora has no HDF5 support");
}

H5GroupRecording::H5GroupRecording(const std::string&, int) {
  throw Failure("this build of velmora has no HDF5 support");
}
H5GroupRecording::~H5GroupRecording() = default;
std::unique_ptr<H5Recording> H5GroupRecording::Add(int, const RecordingInfo&) { return nullptr; }
void H5GroupRecording::Finish(const std::string&, double) {}
void H5GroupRecording::Abandon() {}

H5Contents ReadH5File(const std::string& path) { return {false, 0, {ReadH5Recording(path)}}; }

RecordingInfo ReadH5RecordingImage(const void*, std::size_t, const std::string& where) { return ReadH5Recording(where); }

}  // namespace velmora::cli
