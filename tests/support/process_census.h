// What the test process holds: threads, descriptors and its peak memory.
// Linux only (from /proc); elsewhere every figure is -1 and tests skip the
// checks that need it.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#if !defined(_WIN32)
#include <dirent.h>
#endif

namespace velmora::testing {

// Entries of a /proc directory, or -1.
inline long ProcEntries(const char* path) {
#if defined(_WIN32)
  (void)path;
  return -1;
#else
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  long n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
#endif
}

inline long ThreadCount() { return ProcEntries("/proc/self/task"); }
// Counts the directory's own descriptor too; only differences mean anything.
inline long DescriptorCount() { return ProcEntries("/proc/self/fd"); }

// The process's peak resident size so far (VmHWM), in bytes, or -1.
inline long long PeakMemoryBytes() {
#if defined(_WIN32)
  return -1;
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return -1;
#endif
}

// Starts a new peak at the present resident size, so that a test measures its
// own peak and not that of an earlier test. False when the kernel refuses.
inline bool ResetPeakMemory() {
#if defined(_WIN32)
  return false;
#else
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return bool(clear);
#endif
}

}  // namespace velmora::testing
