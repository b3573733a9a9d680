// Memory the host program cannot touch, for tests of guarded copies: two
// pages, the first readable and writable, the second with no access at all.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora::testing {

class GuardPages {
 public:
  GuardPages() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    Page = info.dwPageSize;
    Base = static_cast<char*>(VirtualAlloc(nullptr, 2 * Page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(Base + Page, Page, PAGE_NOACCESS, &old);
#else
    Page = std::size_t(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Base = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    if (Base != nullptr) mprotect(Base + Page, Page, PROT_NONE);
#endif
  }
  ~GuardPages() {
#if defined(_WIN32)
    if (Base != nullptr) VirtualFree(Base, 0, MEM_RELEASE);
#else
    if (Base != nullptr) munmap(Base, 2 * Page);
#endif
  }
  GuardPages(const GuardPages&) = delete;
  GuardPages& operator=(const GuardPages&) = delete;

  bool Valid() const { return Base != nullptr; }
  std::size_t PageSize() const { return Page; }
  char* Usable() const { return Base; }            // PageSize() bytes, read-write
  char* NoAccess() const { return Base + Page; }   // PageSize() bytes, no access

 private:
  char* Base = nullptr;
  std::size_t Page = 0;
};

}  // namespace velmora::testing
