#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace velmora::platform {

bool GuardedReadText(const char* text, std::string& out) {
  out.clear();
  if (text == nullptr) return true;
  const std::uintptr_t page = PageSize();
  // Read page by page so that a readable string ending just before an
  // unreadable page is still read whole. Each step either ends the text,
  // fails, or moves to the next page, so the walk ends at the first NUL or
  // the first unreadable page.
  const char* p = text;
  for (;;) {
    const std::size_t toPageEnd = page - (reinterpret_cast<std::uintptr_t>(p) % page);
    char piece[4096];
    const std::size_t n = toPageEnd < sizeof piece ? toPageEnd : sizeof piece;
    if (!GuardedRead(piece, p, n)) return false;
    const void* nul = std::memchr(piece, '\0', n);
    if (nul != nullptr) {
      out.append(piece, static_cast<const char*>(nul) - piece);
      return true;
    }
    out.append(piece, n);
    p += n;
  }
}

}  // namespace velmora::platform
