// Access to the host's count cells and buffers. Every read and write goes
// through the platform's guarded copies, so a null or bad pointer becomes a
// result number instead of a fault in the host's process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "platform/platform.h"

namespace velmora::device {

inline bool ReadCell(const std::int32_t* cell, std::int32_t& value) {
  return platform::GuardedRead(&value, cell, sizeof value);
}

inline bool WriteCell(std::int32_t* cell, std::int32_t value) {
  return platform::GuardedWrite(cell, &value, sizeof value);
}

inline bool CopyOut(void* destination, const char* source, std::size_t length) {
  return platform::GuardedWrite(destination, source, length);
}

// Whether every destination of a success can take its bytes, asked before
// the first of them is written: the caller's memory is never left half
// written by a call that fails.
inline bool CanWriteAll(std::initializer_list<platform::MemoryRange> destinations) {
  return platform::GuardedCanWrite(destinations.begin(), destinations.size());
}

// The count cells an operation clears (writes 0 to) whenever it fails.
class OutputCells {
 public:
  explicit OutputCells(std::int32_t* first, std::int32_t* second = nullptr)
      : Cells{first, second} {}
  void Clear() const {
    for (std::int32_t* cell : Cells) {
      if (cell != nullptr) WriteCell(cell, 0);  // an unwritable cell stays as it is
    }
  }

 private:
  std::int32_t* Cells[2];
};

}  // namespace velmora::device
