// Structural equality of chunks, shared by the fuzz harness and the unit tests.
//
// Two chunks are equal when their tags, their header entries (names and values,
// in order), their children (recursively, in order) and their payloads are
// equal byte for byte. The class of a chunk is not compared.
#pragma once

#include <cstddef>
#include <string>

#include "diff/diff_chunk.h"

namespace velmora::diff {

// Returns an empty string when equal, otherwise where the first difference is
// ("child 0/child 2/payload differs"). The path is built only on the way
// back from a difference, so comparing equal trees allocates nothing.
inline std::string ChunkDifference(const TDIFFChunk& a, const TDIFFChunk& b) {
  if (a.Tag != b.Tag) return "tag differs";
  if (a.Headers.size() != b.Headers.size()) return "header count differs";
  for (std::size_t i = 0; i < a.Headers.size(); ++i) {
    if (a.Headers[i].Name != b.Headers[i].Name) {
      return "name of header " + std::to_string(i) + " differs";
    }
    if (a.Headers[i].Value != b.Headers[i].Value) {
      return "value of header " + std::to_string(i) + " differs";
    }
  }
  if (a.Chunks.size() != b.Chunks.size()) return "child count differs";
  for (std::size_t i = 0; i < a.Chunks.size(); ++i) {
    std::string d = ChunkDifference(*a.Chunks[i], *b.Chunks[i]);
    if (!d.empty()) return "child " + std::to_string(i) + "/" + d;
  }
  if (a.Payload != b.Payload) return "payload differs";
  return std::string();
}

inline bool ChunksEqual(const TDIFFChunk& a, const TDIFFChunk& b) {
  return ChunkDifference(a, b).empty();
}

}  // namespace velmora::diff
