// Recording the panel's running acquisition to a file that `velmora info`
// reads, with the writers of `velmora acquire` (raw payload with its side
// file, or HDF5). Files go into one folder given on the command line under
// names made here from the time, so a page can start and stop a recording
// but never choose where it is written.
//
// Begin, Reply, Lost and End run on the panel's worker thread; Status may be
// called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/acquire_output.h"
#include "output/json.h"

namespace velmora::cli {

class PanelRecorder {
 public:
  // An empty folder turns recording off.
  explicit PanelRecorder(std::string folder);
  ~PanelRecorder();

  // "h5" (where the tool has HDF5) and "raw", the first being the default.
  static std::vector<std::string> Formats();

  // Starts a new file for the run `info` describes, whose next sample is
  // `nextSample`; answers its path. Throws Failure when recording is off,
  // already going, the format is unknown or the file cannot be created.
  std::string Begin(RecordingInfo info, const std::string& format, std::uint64_t nextSample);
  // The run's replies and losses; nothing when not recording. A write
  // failure ends the recording as failed, never the acquisition.
  void Reply(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, const unsigned char* data,
             std::size_t length);
  void Lost(const LossGap& gap);
  // Closes the file with how it ended; nothing when not recording. Throws
  // Failure when the file could not be completed (it is closed either way).
  void End(const std::string& ended);
  bool Active() const;

  // {"folder", "formats", "active", and for the last file: "path",
  // "format", "samples", "bytes", "lost_samples", "ended", "error"}.
  Json Status() const;

 private:
  std::string NewPath(const std::string& extension) const;
  void Fail(const std::string& why);

  const std::string Folder;
  std::unique_ptr<AcquireOutput> Out;  // worker only
  AcquireStats Part;                   // of the recorded stretch, worker only
  double StartedAt = 0;

  mutable std::mutex M;  // guards what Status shows
  bool Recording = false;
  std::string Path, Format, Ended, Error;
  std::uint64_t Samples = 0, Bytes = 0, LostSamples = 0;
};

}  // namespace velmora::cli
