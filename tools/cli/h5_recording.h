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

#include "recording.h"

namespace velmora::cli {

class H5Recording {
 public:
  static bool Available();

  // Creates `path` (replacing a file there) with the settings of `info`;
  // throws Failure.
  H5Recording(const std::string& path, const RecordingInfo& info);
  ~H5Recording();
  H5Recording(const H5Recording&) = delete;
  H5Recording& operator=(const H5Recording&) = delete;

  void Sample(std::uint64_t value);
  void Stamp(std::uint64_t timeUs, std::uint64_t packet, std::uint64_t offset, std::uint64_t position,
             std::uint64_t firstSample);
  void Gap(std::uint64_t firstSample, std::uint64_t samples);
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
  struct Impl;
  std::unique_ptr<Impl> P;
};

// True when `path` starts with the HDF5 signature.
bool LooksLikeHdf5(const std::string& path);
bool LooksLikeHdf5(const void* bytes, std::size_t size);
// The attributes of a recording made by H5Recording, its sample count and
// its first gaps. Each item is checked before it is read; a file that fails
// a check throws DamagedFile naming the item.
RecordingInfo ReadH5Recording(const std::string& path);
// The same from a file image in memory, named `where` in messages.
RecordingInfo ReadH5RecordingImage(const void* bytes, std::size_t size, const std::string& where);

// The width a sample of `sampleBytes` is stored with: 1, 2, 4 or 8.
int StoredSampleBytes(int sampleBytes);

}  // namespace velmora::cli
