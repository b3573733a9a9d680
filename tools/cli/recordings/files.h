// Files named on the command line, where "-" means standard output (or
// standard input): opened in binary mode, every write, flush and close
// checked once, and a failure reported with the file and the system's reason.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "device/device.h"

namespace velmora::cli {

// Bytes that did not reach their file. `ReaderGone`: the file is a pipe or
// socket whose reader has gone (EPIPE), which ends a run the way an
// interruption does rather than as a failure.
struct WriteFailure : Failure {
  WriteFailure(const std::string& shown, int error);
  bool ReaderGone = false;
};

class OutputFile {
 public:
  OutputFile() = default;
  // Creates `path`, or takes standard output for "-"; throws Failure.
  explicit OutputFile(const std::string& path);
  ~OutputFile();  // closes without reporting: call Close() to learn of errors
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;

  bool IsOpen() const { return F != nullptr; }
  bool IsStdout() const { return PathText == "-"; }
  const std::string& Path() const { return PathText; }
  // "standard output" or the path, for messages.
  std::string Shown() const;
  // Throws WriteFailure when not all of `data` was taken; after a failure
  // the file takes nothing more and every later call throws the same.
  void Write(const void* data, std::size_t length);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  // Flushes and closes (standard output is only flushed), exactly once
  // whatever the outcome; throws WriteFailure when anything written was lost.
  void Close();
  // Closes without reporting and removes the file if this object created
  // it: for a file that would otherwise stay behind empty after a failure.
  void Discard();

 private:
  std::string PathText;
  std::FILE* F = nullptr;
  bool Created = false;  // the path did not exist before
  int Error = 0;         // the first failure's errno; 0: none
};

// Throws Failure when `path` ("-" passes) could not be created or replaced,
// leaving what is there as it was: a check of every output before any is
// created, so that one bad path leaves no other file behind.
void CheckCreatable(const std::string& path);

// The whole of `path`, or of standard input for "-", up to `limit` bytes;
// throws Failure when it cannot be read or is longer.
std::vector<unsigned char> ReadWhole(const std::string& path, std::size_t limit);

// "standard output" for "-", else the path.
std::string ShownPath(const std::string& path);

}  // namespace velmora::cli
