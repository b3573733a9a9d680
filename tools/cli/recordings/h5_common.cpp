// The parts of the HDF5 recording that do not need the HDF5 library.
#include <cstdio>
#include <cstring>

#include "recordings/h5_recording.h"

namespace velmora::cli {

bool LooksLikeHdf5(const void* bytes, std::size_t size) {
  static const unsigned char Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  return size >= sizeof Signature && std::memcmp(bytes, Signature, sizeof Signature) == 0;
}

bool LooksLikeHdf5(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  unsigned char head[8] = {};
  const std::size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return LooksLikeHdf5(head, n);
}

std::string NexusTime(const std::string& utc) {
  if (!utc.empty() && utc.back() == 'Z') return utc.substr(0, utc.size() - 1) + "+00:00";
  return utc;
}

int StoredSampleBytes(int sampleBytes) { return sampleBytes <= 1 ? 1 : sampleBytes <= 2 ? 2 : sampleBytes <= 4 ? 4 : 8; }

}  // namespace velmora::cli
