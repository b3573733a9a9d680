// Seekable byte streams that chunks load from and save to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::diff {

class TStream {
 public:
  virtual ~TStream() = default;
  virtual std::uint64_t GetPosition() const = 0;
  // Positions past the end are allowed; reads there return 0 bytes.
  virtual void SetPosition(std::uint64_t position) = 0;
  virtual std::uint64_t GetSize() const = 0;
  // Reads up to `count` bytes; returns how many were read.
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes `count` bytes at the position, growing the stream as needed.
  virtual void Write(const void* buffer, std::size_t count) = 0;
};

// A stream over an owned, growable byte string.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : Bytes(std::move(bytes)) {}

  std::uint64_t GetPosition() const override { return Position; }
  void SetPosition(std::uint64_t position) override { Position = position; }
  std::uint64_t GetSize() const override { return Bytes.size(); }
  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;

  const std::string& bytes() const { return Bytes; }

 private:
  std::string Bytes;
  std::uint64_t Position = 0;
};

}  // namespace velmora::diff
