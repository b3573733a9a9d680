#include "files.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "device.h"
#include "terminal.h"

namespace velmora::cli {

std::string ShownPath(const std::string& path) { return path == "-" ? "standard output" : path; }

OutputFile::OutputFile(const std::string& path) : PathText(path) {
  if (path == "-") {
    SetBinary(stdout);
    F = stdout;
    return;
  }
  F = std::fopen(path.c_str(), "wb");
  if (F == nullptr) throw Failure("cannot create " + path + ": " + std::strerror(errno));
}

OutputFile::OutputFile(OutputFile&& other) noexcept : PathText(std::move(other.PathText)), F(other.F) {
  other.F = nullptr;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (F != nullptr && F != stdout) std::fclose(F);
    PathText = std::move(other.PathText);
    F = other.F;
    other.F = nullptr;
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (F != nullptr && F != stdout) std::fclose(F);
}

std::string OutputFile::Shown() const { return ShownPath(PathText); }

void OutputFile::Write(const void* data, std::size_t length) {
  if (F != nullptr && length > 0) std::fwrite(data, 1, length, F);
}

void OutputFile::Close() {
  if (F == nullptr) return;
  std::FILE* f = F;
  F = nullptr;
  const bool good = std::ferror(f) == 0 && (f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0);
  if (f != stdout && !good) std::fclose(f);
  if (!good) throw Failure("cannot write " + Shown());
}

std::vector<unsigned char> ReadWhole(const std::string& path, std::size_t limit) {
  std::FILE* f = stdin;
  if (path == "-") {
    SetBinary(stdin);
  } else if ((f = std::fopen(path.c_str(), "rb")) == nullptr) {
    throw Failure("cannot open " + path + ": " + std::strerror(errno));
  }
  std::vector<unsigned char> bytes;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > limit) break;
  }
  const bool bad = std::ferror(f) != 0;
  if (f != stdin) std::fclose(f);
  const std::string shown = path == "-" ? "standard input" : path;
  if (bad) throw Failure("cannot read " + shown);
  if (bytes.size() > limit) throw Failure(shown + " is larger than " + std::to_string(limit) + " bytes");
  return bytes;
}

}  // namespace velmora::cli
