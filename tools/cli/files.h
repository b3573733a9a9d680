// Files named on the command line, where "-" means standard output (or
// standard input): opened in binary mode, closed with their errors reported.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::cli {

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
  std::FILE* Stream() const { return F; }
  const std::string& Path() const { return PathText; }
  // "standard output" or the path, for messages.
  std::string Shown() const;
  void Write(const void* data, std::size_t length);
  // Flushes and closes (standard output is only flushed); throws Failure
  // when anything written was lost.
  void Close();

 private:
  std::string PathText;
  std::FILE* F = nullptr;
};

// The whole of `path`, or of standard input for "-", up to `limit` bytes;
// throws Failure when it cannot be read or is longer.
std::vector<unsigned char> ReadWhole(const std::string& path, std::size_t limit);

// "standard output" for "-", else the path.
std::string ShownPath(const std::string& path);

}  // namespace velmora::cli
