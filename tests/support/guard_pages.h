// Memory the host program cannot touch, for tests of guarded copies: three
// pages, the first readable and writable, the second with no access at all,
// the third read-only.
#pragma once

#include <cstddef>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace velmora::testing {

class GuardPages {
 public:
  GuardPages() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    Page = info.dwPageSize;
    Base = static_cast<char*>(VirtualAlloc(nullptr, 3 * Page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(Base + Page, Page, PAGE_NOACCESS, &old);
    VirtualProtect(Base + 2 * Page, Page, PAGE_READONLY, &old);
#else
    Page = std::size_t(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 3 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Base = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    if (Base != nullptr) {
      mprotect(Base + Page, Page, PROT_NONE);
      mprotect(Base + 2 * Page, Page, PROT_READ);
    }
#endif
  }
  ~GuardPages() {
#if defined(_WIN32)
    if (Base != nullptr) VirtualFree(Base, 0, MEM_RELEASE);
#else
    if (Base != nullptr) munmap(Base, 3 * Page);
#endif
  }
  GuardPages(const GuardPages&) = delete;
  GuardPages& operator=(const GuardPages&) = delete;

  bool Valid() const { return Base != nullptr; }
  std::size_t PageSize() const { return Page; }
  char* Usable() const { return Base; }            // PageSize() bytes, read-write
  char* NoAccess() const { return Base + Page; }   // PageSize() bytes, no access
  char* ReadOnly() const { return Base + 2 * Page; }  // PageSize() bytes, read-only

  // Puts `n` bytes at the start of the read-only page, which stays read-only.
  void FillReadOnly(const void* bytes, std::size_t n) {
#if defined(_WIN32)
    DWORD old;
    VirtualProtect(ReadOnly(), Page, PAGE_READWRITE, &old);
    std::memcpy(ReadOnly(), bytes, n);
    VirtualProtect(ReadOnly(), Page, PAGE_READONLY, &old);
#else
    mprotect(ReadOnly(), Page, PROT_READ | PROT_WRITE);
    std::memcpy(ReadOnly(), bytes, n);
    mprotect(ReadOnly(), Page, PROT_READ);
#endif
  }

 private:
  char* Base = nullptr;
  std::size_t Page = 0;
};

// Whether the guarded copies can tell unreadable memory from readable. On
// POSIX they rely on the kernel copying for them (process_vm_readv), which
// qemu-user does not provide: there they can only refuse null, and touching a
// guard page faults the test program. Probed once, on our own memory.
inline bool GuardedCopiesSeeFaults() {
#if defined(_WIN32)
  return true;
#else
  static const bool supported = [] {
    char from = 1, to = 0;
    iovec local{&to, 1}, remote{&from, 1};
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1) return true;
    return errno != ENOSYS && errno != EPERM;  // the library's own fallback condition
  }();
  return supported;
#endif
}

}  // namespace velmora::testing

// Skips the rest of a test that needs unreadable memory to give 998.
#define VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS()                                  \
  if (!::velmora::testing::GuardedCopiesSeeFaults())                                     \
  GTEST_SKIP() << "no process_vm_readv here (qemu-user?): unreadable memory cannot be " \
                  "told apart, so it would fault instead of giving 998"
