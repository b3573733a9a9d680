// Copies to and from caller memory that check the whole memory first, in few
// system calls, and then copy plainly: written once for both backends.
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace velmora::platform {

bool GuardedReadEach(const CopyPiece* pieces, std::size_t count) {
  if (GuardedCopyAtOnce(pieces, count, false)) return true;
  for (std::size_t i = 0; i < count; ++i) {
    if (!GuardedRead(pieces[i].Destination, pieces[i].Source, pieces[i].Length)) return false;
  }
  return true;
}

bool GuardedWriteEach(const CopyPiece* pieces, std::size_t count) {
  if (GuardedCopyAtOnce(pieces, count, true)) return true;
  // Short: the pieces before the one refused are written already, and
  // writing them again changes nothing.
  bool all = true;
  for (std::size_t i = 0; i < count; ++i) {
    if (!GuardedWrite(pieces[i].Destination, pieces[i].Source, pieces[i].Length)) all = false;
  }
  return all;
}

bool GuardedWriteAll(const CopyPiece* pieces, std::size_t count) {
  // Pieces that continue one another (a payload spread over receive blocks)
  // are checked as one range, so no page is probed twice.
  std::vector<MemoryRange> ranges;
  ranges.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (pieces[i].Length == 0) continue;
    if (pieces[i].Destination == nullptr) return false;
    char* start = static_cast<char*>(pieces[i].Destination);
    if (!ranges.empty() && static_cast<char*>(ranges.back().Start) + ranges.back().Length == start) {
      ranges.back().Length += pieces[i].Length;
    } else {
      ranges.push_back(MemoryRange{start, pieces[i].Length});
    }
  }
  if (!GuardedCanWrite(ranges.data(), ranges.size())) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (pieces[i].Length != 0) std::memcpy(pieces[i].Destination, pieces[i].Source, pieces[i].Length);
  }
  return true;
}

bool GuardedReadAll(void* destination, const void* source, std::size_t length) {
  if (!GuardedCanRead(source, length)) return false;
  if (length != 0) std::memcpy(destination, source, length);
  return true;
}

}  // namespace velmora::platform
