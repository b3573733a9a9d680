#include "output/printable.h"

#include <cstdio>

namespace velmora::cli {
namespace {

// The length of the valid UTF-8 sequence at `s[i]` (2 to 4 bytes), or 0 when
// the bytes there are not one: overlong forms and surrogates included.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) n = 2;
  else if (lead == 0xE0) n = 3, low = 0xA0;
  else if (lead == 0xED) n = 3, high = 0x9F;
  else if (lead >= 0xE1 && lead <= 0xEF) n = 3;
  else if (lead == 0xF0) n = 4, low = 0x90;
  else if (lead >= 0xF1 && lead <= 0xF3) n = 4;
  else if (lead == 0xF4) n = 4, high = 0x8F;
  else return 0;
  if (i + n > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char escape[8];
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n' || c == '\t' || c == '\r') {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
      ++i;
    } else if (c < 0x80) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++i;
    } else if (const std::size_t n = Utf8Length(text, i)) {
      // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
      const unsigned char second = static_cast<unsigned char>(text[i + 1]);
      if (c == 0xC2 && second < 0xA0) {
        std::snprintf(escape, sizeof escape, "\\u%04x", second);
        out += escape;
      } else {
        out.append(text, i, n);
      }
      i += n;
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++i;
    }
  }
  return out;
}

}  // namespace velmora::cli
