// POSIX backend: guarded copies from and to caller memory.
#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace velmora::platform {

// The kernel copies on our behalf and reports EFAULT instead of delivering a
// fault, so unreadable or unwritable caller memory never crashes the host.
namespace {

// Some emulators do not offer the kernel copies: there only null can be told apart.
bool KernelCopiesUnsupported() { return errno == ENOSYS || errno == EPERM; }

enum class Copy { Done, Fault, Unsupported };

// `caller` is the host's memory, `ours` the library's; the direction says which is written.
Copy KernelCopy(void* caller, void* ours, std::size_t length, bool toCaller) {
  std::size_t done = 0;
  while (done < length) {
    iovec local{static_cast<char*>(ours) + done, length - done};
    iovec remote{static_cast<char*>(caller) + done, length - done};
    const ssize_t n = toCaller ? ::process_vm_writev(posix::OwnProcess(), &local, 1, &remote, 1, 0)
                               : ::process_vm_readv(posix::OwnProcess(), &local, 1, &remote, 1, 0);
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && KernelCopiesUnsupported()) return Copy::Unsupported;
    return Copy::Fault;
  }
  return Copy::Done;
}

// The kernel takes at most this many pieces per call (IOV_MAX).
constexpr int ProbeBatch = 1024;

// Hands `probe` one byte address in every page of every range, up to
// ProbeBatch at a time, and stops at the first batch it refuses. False for a
// null range or one that wraps around the address space.
template <class Probe>
bool ProbePages(const MemoryRange* ranges, std::size_t count, Probe probe) {
  const std::uintptr_t page = PageSize();
  iovec remote[ProbeBatch];
  int n = 0;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(ranges[r].Start);
    if (first == 0 || ranges[r].Length - 1 > UINTPTR_MAX - first) return false;
    const std::uintptr_t last = first + (ranges[r].Length - 1);
    for (std::uintptr_t at = first;;) {
      remote[n++] = iovec{reinterpret_cast<void*>(at), 1};
      if (n == ProbeBatch) {
        if (!probe(remote, n)) return false;
        n = 0;
      }
      const std::uintptr_t next = (at / page + 1) * page;
      if (next > last || next <= at) break;
      at = next;
    }
  }
  return n == 0 || probe(remote, n);
}

// Reads the probed bytes into `sink`; true when all of them could be read or
// the kernel cannot tell (the copy that follows decides then).
bool ReadProbe(iovec* remote, int n, char* sink, bool& unsupported) {
  iovec local{sink, std::size_t(n)};
  for (;;) {
    const ssize_t got = ::process_vm_readv(posix::OwnProcess(), &local, 1, remote, unsigned(n), 0);
    if (got == n) return true;
    if (got < 0 && errno == EINTR) continue;
    unsupported = got < 0 && KernelCopiesUnsupported();
    return unsupported;
  }
}

}  // namespace

bool GuardedRead(void* destination, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (source == nullptr) return false;
  switch (KernelCopy(const_cast<void*>(source), destination, length, false)) {
    case Copy::Done: return true;
    case Copy::Fault: return false;
    case Copy::Unsupported: break;
  }
  std::memcpy(destination, source, length);
  return true;
}

bool GuardedCopyAtOnce(const CopyPiece* pieces, std::size_t count, bool toCaller) {
  // More pieces than this are rare enough to go one by one.
  constexpr std::size_t PiecesAtOnce = 8;
  if (count == 0 || count > PiecesAtOnce) return count == 0;
  iovec local[PiecesAtOnce], remote[PiecesAtOnce];
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const CopyPiece& p = pieces[i];
    if (p.Length == 0 || (toCaller ? p.Destination : p.Source) == nullptr) return false;
    local[i] = iovec{toCaller ? const_cast<void*>(p.Source) : p.Destination, p.Length};
    remote[i] = iovec{toCaller ? p.Destination : const_cast<void*>(p.Source), p.Length};
    total += p.Length;
  }
  for (;;) {
    const ssize_t n =
        toCaller ? ::process_vm_writev(posix::OwnProcess(), local, count, remote, count, 0)
                 : ::process_vm_readv(posix::OwnProcess(), local, count, remote, count, 0);
    if (n >= 0) return std::size_t(n) == total;
    if (errno != EINTR) return false;
  }
}

bool GuardedWrite(void* destination, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (destination == nullptr) return false;
  switch (KernelCopy(destination, const_cast<void*>(source), length, true)) {
    case Copy::Done: return true;
    case Copy::Fault: return false;
    case Copy::Unsupported: break;
  }
  std::memcpy(destination, source, length);
  return true;
}

namespace {

// Linux 5.14 and later fault pages in for reading or writing on request,
// without touching a byte, and refuse memory such an access would fault on:
// one system call checks a whole range, where probing costs one or two per
// 1024 pages (and far more time).
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

enum class Access { Granted, Refused, Unknown };

// Ranges that together span at most this many pages count as short.
constexpr std::size_t ShortRangesPages = 64;

// One byte of every page is read and written back as it was: the kernel
// refuses pages we may not write, without a fault and without changing
// anything.
bool ProbeCanWrite(const MemoryRange* ranges, std::size_t count) {
  char sink[ProbeBatch];
  bool unsupported = false;
  return ProbePages(ranges, count, [&](iovec* remote, int n) {
    if (unsupported) return true;
    if (!ReadProbe(remote, n, sink, unsupported)) return false;
    if (unsupported) return true;
    iovec local{sink, std::size_t(n)};
    for (;;) {
      const ssize_t put = ::process_vm_writev(posix::OwnProcess(), &local, 1, remote, unsigned(n), 0);
      if (put == n) return true;
      if (put < 0 && errno == EINTR) continue;
      return false;
    }
  });
}

// Whether the request is understood here: a page without the access asked
// for must be refused and one with it accepted. Emulators that take unknown
// advice as a harmless hint fail this and are never asked.
bool PopulateTrusted(bool write) {
  const auto check = [](int advice, int refusedProtection) {
    const std::size_t page = PageSize();
    void* p = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    char* pages = static_cast<char*>(p);
    const bool ok = ::mprotect(pages + page, page, refusedProtection) == 0 &&
                    ::madvise(pages, page, advice) == 0 && ::madvise(pages + page, page, advice) != 0;
    ::munmap(p, 2 * page);
    return ok;
  };
  static const bool forWrite = check(MADV_POPULATE_WRITE, PROT_READ);
  static const bool forRead = check(MADV_POPULATE_READ, PROT_NONE);
  return write ? forWrite : forRead;
}

// Unknown when the kernel's answer does not settle it (memory without the
// access and special mappings both give EINVAL): the probe then decides.
Access PopulateFor(const MemoryRange& range, bool write) {
  if (!PopulateTrusted(write)) return Access::Unknown;
  const std::uintptr_t page = PageSize();
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(range.Start) / page * page;
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(range.Start) + range.Length;
  const int advice = write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (::madvise(reinterpret_cast<void*>(first), end - first, advice) == 0) return Access::Granted;
    if (errno == ENOMEM || errno == EFAULT) return Access::Refused;  // unmapped; would fault
    if (errno != EINTR && errno != EAGAIN) break;
  }
  return Access::Unknown;
}

}  // namespace

bool GuardedCanRead(const void* source, std::size_t length) {
  if (length == 0) return true;
  if (source == nullptr) return false;
  const MemoryRange range{const_cast<void*>(source), length};
  if (length - 1 > UINTPTR_MAX - reinterpret_cast<std::uintptr_t>(source)) return false;
  switch (PopulateFor(range, false)) {
    case Access::Granted: return true;
    case Access::Refused: return false;
    case Access::Unknown: break;
  }
  char sink[ProbeBatch];
  bool unsupported = false;
  return ProbePages(&range, 1, [&](iovec* remote, int n) {
    return unsupported || ReadProbe(remote, n, sink, unsupported);
  });
}

bool GuardedCanWrite(const MemoryRange* ranges, std::size_t count) {
  // Several short ranges (a call's count cells and small buffers) are
  // probed together, in two system calls whatever their number, where asking
  // the kernel costs one per range.
  if (count >= 3) {
    const std::uintptr_t page = PageSize();
    std::size_t pages = 0;
    for (std::size_t r = 0; r < count && pages <= ShortRangesPages; ++r) {
      if (ranges[r].Length == 0) continue;
      const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(ranges[r].Start);
      if (first == 0 || ranges[r].Length - 1 > UINTPTR_MAX - first) return false;
      pages += (first + ranges[r].Length - 1) / page - first / page + 1;
    }
    if (pages <= ShortRangesPages) return ProbeCanWrite(ranges, count);
  }
  std::vector<MemoryRange> unsettled;
  for (std::size_t r = 0; r < count; ++r) {
    if (ranges[r].Length == 0) continue;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(ranges[r].Start);
    if (first == 0 || ranges[r].Length - 1 > UINTPTR_MAX - first) return false;
    switch (PopulateFor(ranges[r], true)) {
      case Access::Granted: continue;
      case Access::Refused: return false;
      case Access::Unknown: unsettled.push_back(ranges[r]); break;
    }
  }
  return unsettled.empty() || ProbeCanWrite(unsettled.data(), unsettled.size());
}

std::size_t PageSize() {
  static const std::size_t page = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? std::size_t(n) : std::size_t(4096);
  }();
  return page;
}

}  // namespace velmora::platform
