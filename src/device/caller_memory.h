// Access to the host's count cells and buffers. Every read and write goes
// through the platform's guarded copies, so a null or bad pointer becomes a
// result number instead of a fault in the host's process.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace velmora::device {

inline bool ReadCell(const std::int32_t* cell, std::int32_t& value) {
  return platform::GuardedRead(&value, cell, sizeof value);
}

// Both cells, or false when either cannot be read.
inline bool ReadCells(const std::int32_t* first, std::int32_t& firstValue,
                      const std::int32_t* second, std::int32_t& secondValue) {
  const platform::CopyPiece pieces[2] = {{&firstValue, first, sizeof firstValue},
                                         {&secondValue, second, sizeof secondValue}};
  return platform::GuardedReadEach(pieces, 2);
}
inline bool WriteCell(std::int32_t* cell, std::int32_t value) {
  return platform::GuardedWrite(cell, &value, sizeof value);
}

// What a successful operation hands the caller: count cells and runs of
// bytes, written all together or not at all, so the caller's memory is never
// left half written by a call that fails. Collect, then Write once.
class CallerOutput {
 public:
  CallerOutput() = default;
  CallerOutput(const CallerOutput&) = delete;
  CallerOutput& operator=(const CallerOutput&) = delete;

  // At most MaxCells cells per output.
  void Cell(std::int32_t* cell, std::int32_t value) {
    Values[Cells] = value;
    Pieces.push_back(platform::CopyPiece{cell, &Values[Cells], sizeof value});
    ++Cells;
  }
  // The first `length` bytes of `runs` (which hold at least that many), one
  // after the other from `destination` on.
  void Bytes(void* destination, const std::vector<std::string_view>& runs, std::size_t length) {
    char* at = static_cast<char*>(destination);
    for (std::string_view run : runs) {
      if (length == 0) break;
      const std::size_t n = std::min(run.size(), length);
      Pieces.push_back(platform::CopyPiece{at, run.data(), n});
      at += n;
      length -= n;
    }
  }
  void Bytes(void* destination, std::string_view bytes) {
    Pieces.push_back(platform::CopyPiece{destination, bytes.data(), bytes.size()});
  }
  bool Write() const { return platform::GuardedWriteAll(Pieces.data(), Pieces.size()); }

 private:
  static constexpr int MaxCells = 2;
  std::int32_t Values[MaxCells] = {};
  int Cells = 0;
  std::vector<platform::CopyPiece> Pieces;
};

// The count cells an operation clears (writes 0 to) whenever it fails.
class OutputCells {
 public:
  explicit OutputCells(std::int32_t* first, std::int32_t* second = nullptr)
      : Cells{first, second} {}
  void Clear() const {
    static const std::int32_t zero = 0;
    platform::CopyPiece pieces[2] = {};
    std::size_t count = 0;
    for (std::int32_t* cell : Cells) {
      if (cell != nullptr) pieces[count++] = platform::CopyPiece{cell, &zero, sizeof zero};
    }
    platform::GuardedWriteEach(pieces, count);  // an unwritable cell stays as it is
  }
  // Clears the cells and passes `result` on: how a failing step ends.
  std::int32_t Refuse(std::int32_t result) const {
    Clear();
    return result;
  }

 private:
  std::int32_t* Cells[2];
};

}  // namespace velmora::device
