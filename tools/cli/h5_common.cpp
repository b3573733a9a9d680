// The parts of the HDF5 recording that do not need the HDF5 library.
#include <cstdio>
#include <cstring>

#include "h5_recording.h"

namespace velmora::cli {

bool LooksLikeHdf5(const std::string& path) {
  static const unsigned char Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  unsigned char head[8] = {};
  const bool match = std::fread(head, 1, 8, f) == 8 && std::memcmp(head, Signature, 8) == 0;
  std::fclose(f);
  return match;
}

int StoredSampleBytes(int sampleBytes) { return sampleBytes <= 1 ? 1 : sampleBytes <= 2 ? 2 : sampleBytes <= 4 ? 4 : 8; }

}  // namespace velmora::cli
