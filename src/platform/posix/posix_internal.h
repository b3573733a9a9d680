// What the files of the POSIX backend share. Private to platform/posix.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>

namespace velmora::platform::posix {

// The monotonic clock `ms` milliseconds from now.
inline timespec DeadlineAfter(std::uint32_t ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += time_t(ms / 1000);
  t.tv_nsec += long(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// The process this code runs in, the one the guarded copies aim at. A child
// made by fork() gets its own number from the child handler (fork.cpp)
// before any code of the host runs there: a copy aimed at the parent would
// read and write the parent's memory.
pid_t OwnProcess();

}  // namespace velmora::platform::posix
