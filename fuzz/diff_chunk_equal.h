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

// Returns an empty string when equal, otherwise where the first difference is.
inline std::string ChunkDifference(const TDIFFChunk& a, const TDIFFChunk& b,
                                   const std::string& path = "chunk") {
  if (a.Tag != b.Tag) return path + ": tag differs";
  if (a.Headers.size() != b.Headers.size()) return path + ": header count differs";
  for (std::size_t i = 0; i < a.Headers.size(); ++i) {
    if (a.Headers[i].Name != b.Headers[i].Name) {
      return path + ": name of header " + std::to_string(i) + " differs";
    }
    if (a.Headers[i].Value != b.Headers[i].Value) {
      return path + ": value of header " + std::to_string(i) + " differs";
    }
  }
  if (a.Chunks.size() != b.Chunks.size()) return path + ": child count differs";
  for (std::size_t i = 0; i < a.Chunks.size(); ++i) {
    std::string d =
        ChunkDifference(*a.Chunks[i], *b.Chunks[i], path + ".child" + std::to_string(i));
    if (!d.empty()) return d;
  }
  if (a.Payload != b.Payload) return path + ": payload differs";
  return std::string();
}

inline bool ChunksEqual(const TDIFFChunk& a, const TDIFFChunk& b) {
  return ChunkDifference(a, b).empty();
}

}  // namespace velmora::diff
