// POSIX backend: handlers around fork() and the count of forks.
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace velmora::platform {

namespace {

std::atomic<pid_t> SelfPid{0};
std::atomic<std::uint32_t> Generation{0};

void (*ForkPrepare)() = nullptr;
void (*ForkParent)() = nullptr;
void (*ForkChild)() = nullptr;

void BeforeFork() {
  if (ForkPrepare != nullptr) ForkPrepare();
}
void AfterForkInParent() {
  if (ForkParent != nullptr) ForkParent();
}
void AfterForkInChild() {
  SelfPid.store(::getpid(), std::memory_order_relaxed);
  Generation.fetch_add(1, std::memory_order_relaxed);
  if (ForkChild != nullptr) ForkChild();
}

}  // namespace

pid_t posix::OwnProcess() {
  pid_t pid = SelfPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    SelfPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

void RunAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) {
  ForkPrepare = prepare;
  ForkParent = parent;
  ForkChild = child;
  // glibc ties the handlers to the calling module and drops them when it is
  // unloaded, so no handler of an unloaded library ever runs.
  static const bool registered =
      pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild) == 0;
  (void)registered;
}

std::uint32_t ForkGeneration() { return Generation.load(std::memory_order_relaxed); }

}  // namespace velmora::platform
