// A recording as an HDF5 file, the form h5py, MATLAB and HDFView open:
//   /samples  the samples in the order they arrived, unsigned integers of
//             the sample's width (1, 2, 4 or 8 bytes: a 3-byte sample is
//             widened to 4), chunked, shuffled and deflated;
//   /stamps   one row per reply: time_us, packet, offset (stream byte),
//             position (its first sample's index in /samples), first_sample
//             (that sample's index in the stream);
//   /lost     one row per gap: first_sample, samples;
//   attributes of the root group: every setting, where and when, and how
//   the run ended (the fields of RecordingInfo).
// The same file is also a NeXus file: /entry (NXentry) with its start and
// end time, /entry/data (NXdata) whose signal is a hard link to /samples
// and whose time axis is [first, 1/frequency] while the samples have no
// break (one time per sample once they have), and /entry/instrument/device
// (NXcollection) with every setting as a dataset and two NXlogs, reply_times
// and gaps. A group file holds several devices: /entry/device<i> (NXdata,
// the samples themselves) and /entry/instrument/device<i> with the
// attributes a single file has at its root, its stamps, gaps and logs.
// docs/cli.md describes both layouts for readers.
//
// Samples are appended as the run goes and the file is flushed at least
// once a second, so what was written before an interruption or a dropped
// link stays readable.
//
// Builds without the HDF5 library get the same interface with Available()
// false; the tool then offers no --h5 option.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recordings/recording.h"

namespace velmora::cli {

struct H5Shared;

class H5Recording {
 public:
  static bool Available();

  // Creates `path` (replacing a file there) with the settings of `info`;
  // throws Failure.
  H5Recording(const std::string& path, const RecordingInfo& info);
  ~H5Recording();
  H5Recording(const H5Recording&) = delete;
  H5Recording& operator=(const H5Recording&) = delete;

  // The run has started: the logs' times count from now.
  void Begin();
  void Sample(std::uint64_t value);
  void Stamp(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, std::uint64_t position,
             std::uint64_t firstSample);
  void Gap(std::uint64_t firstSample, std::uint64_t samples);
  // Samples missed while the link was down, between two host-clock times
  // (seconds since this device's recording began); `estimated` when the
  // count comes from the host clock rather than from the device.
  void Outage(std::uint64_t firstSample, std::uint64_t samples, double beginS, double endS, bool estimated);
  double SecondsSinceStart() const;
  // Writes what is buffered and flushes the file when a second has passed
  // since the last flush, or at once with `now`.
  void Flush(bool now);
  // Writes the outcome into the attributes and closes the file; throws
  // Failure when something could not be written.
  void Finish(const RecordingInfo& info);
  // Closes the file after a failure without writing anything more, so that
  // nothing is left open for the library to flush at exit.
  void Abandon();

 private:
  friend class H5GroupRecording;
  H5Recording(std::shared_ptr<H5Shared> shared, int index, const RecordingInfo& info);
  struct Impl;
  std::unique_ptr<Impl> P;
};

// A file of several devices. Each device's part is written from its own
// thread; every HDF5 call takes the file's lock.
class H5GroupRecording {
 public:
  // Creates `path` (replacing a file there); throws Failure.
  H5GroupRecording(const std::string& path, int devices);
  ~H5GroupRecording();
  // The part of device `index` (0, 1, ... in the order given).
  std::unique_ptr<H5Recording> Add(int index, const RecordingInfo& info);
  // After every part has finished: the group's start time and start spread,
  // then closes the file.
  void Finish(const std::string& startUtc, double startSpreadS);
  void Abandon();

 private:
  std::shared_ptr<H5Shared> Shared;
};

// An ISO 8601 time with its UTC offset, "+00:00" for "Z".
std::string NexusTime(const std::string& utc);

// True when `path` starts with the HDF5 signature.
bool LooksLikeHdf5(const std::string& path);
bool LooksLikeHdf5(const void* bytes, std::size_t size);
// What an HDF5 recording holds: one device, or the devices of a group file
// in their order.
// Reads a single or a group recording (checked as below).
H5Contents ReadH5File(const std::string& path);

// The attributes of a recording made by H5Recording, its sample count and
// its first gaps. Each item is checked before it is read; a file that fails
// a check throws DamagedFile naming the item.
RecordingInfo ReadH5Recording(const std::string& path);
// The same from a file image in memory, named `where` in messages.
RecordingInfo ReadH5RecordingImage(const void* bytes, std::size_t size, const std::string& where);

// The width a sample of `sampleBytes` is stored with: 1, 2, 4 or 8.
int StoredSampleBytes(int sampleBytes);

}  // namespace velmora::cli
