#include "recordings/files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "output/terminal.h"

namespace velmora::cli {
namespace {

// Asked of the file system, not by opening: opening a named pipe would wait
// for its other end.
std::filesystem::file_status StatusOf(const std::string& path) {
  std::error_code ec;
  return std::filesystem::status(path, ec);
}

bool Exists(const std::string& path) { return std::filesystem::exists(StatusOf(path)); }

// errno after a failed stdio call; a few C libraries leave it unset.
int LastError() { return errno != 0 ? errno : EIO; }

}  // namespace

std::string ShownPath(const std::string& path) { return path == "-" ? "standard output" : path; }

WriteFailure::WriteFailure(const std::string& shown, int error)
    : Failure("cannot write " + shown + ": " + std::strerror(error)), ReaderGone(error == EPIPE) {}

OutputFile::OutputFile(const std::string& path) : PathText(path) {
  if (path == "-") {
    SetBinary(stdout);
    F = stdout;
    return;
  }
  Created = !Exists(path);
  F = std::fopen(path.c_str(), "wb");
  if (F == nullptr) throw Failure("cannot create " + path + ": " + std::strerror(errno));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : PathText(std::move(other.PathText)), F(other.F), Created(other.Created), Error(other.Error) {
  other.F = nullptr;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (F != nullptr && F != stdout) std::fclose(F);
    PathText = std::move(other.PathText);
    F = other.F;
    Created = other.Created;
    Error = other.Error;
    other.F = nullptr;
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (F != nullptr && F != stdout) std::fclose(F);
}

std::string OutputFile::Shown() const { return ShownPath(PathText); }

void OutputFile::Write(const void* data, std::size_t length) {
  if (Error != 0) throw WriteFailure(Shown(), Error);
  if (F == nullptr || length == 0) return;
  errno = 0;
  if (std::fwrite(data, 1, length, F) != length) {
    Error = LastError();
    throw WriteFailure(Shown(), Error);
  }
}

void OutputFile::Close() {
  if (F == nullptr) {
    if (Error != 0) throw WriteFailure(Shown(), Error);
    return;
  }
  std::FILE* f = F;
  F = nullptr;
  errno = 0;
  // Closed once whatever it returns: after a failed fclose the stream is
  // gone, and closing it again frees it twice.
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!closed && Error == 0) Error = LastError();
  if (Error != 0) throw WriteFailure(Shown(), Error);
}

void OutputFile::Discard() {
  std::FILE* f = F;
  F = nullptr;
  if (f == nullptr || f == stdout) return;
  std::fclose(f);
  if (Created) std::remove(PathText.c_str());
}

void CheckCreatable(const std::string& path) {
  if (path.empty() || path == "-") return;
  const std::filesystem::file_status status = StatusOf(path);
  // A pipe or device is only opened when written: a trial open and close
  // would tell a pipe's reader that the data has ended.
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_directory(status))
    return;
  const bool existed = std::filesystem::exists(status);
  // Appending opens the file as writing will, without cutting what is there.
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) throw Failure("cannot create " + path + ": " + std::strerror(errno));
  std::fclose(f);
  if (!existed) std::remove(path.c_str());
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
