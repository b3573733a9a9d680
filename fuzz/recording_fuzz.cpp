// The tool's readers of recordings over any bytes: an input that starts as
// an HDF5 file does is opened from memory as one, anything else is read as
// a side file (HDF5 inputs are read in a child process, as `info` reads
// them). A reader may refuse a file with a Failure; it must not crash,
// read or write out of bounds, or take memory beyond what it shows. What
// `info` would print of the result must carry no control character.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/device.h"
#include "output/json.h"
#include "recordings/h5_recording.h"
#include "output/printable.h"
#include "recordings/recording.h"

// libhdf5 allocates sizes it reads from the file; in the child that reads
// an HDF5 input an impossible one must fail as malloc fails outside the
// sanitizer (the library then reports an error), not end the child.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

void CheckPrintable(const std::string& text) {
  for (const char c : velmora::cli::Printable(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::cli;
  try {
    const RecordingInfo r = LooksLikeHdf5(data, size) ? ReadH5RecordingImage(data, size, "fuzzed.h5")
                                                      : ParseSideFile(std::string(data, data + size), "fuzzed.json");
    for (const std::string* text : {&r.Host, &r.Mode, &r.StartUtc, &r.ToolVersion, &r.LibraryVersion, &r.Ended})
      CheckPrintable(*text);
    if (r.Gaps.size() > MaxKeptGaps) std::abort();
    (void)JsonText(ToJson(r));
  } catch (const Failure&) {
  }
  return 0;
}
