// The loopback address of every test fixture: 127.<net>.<third>.<fourth>.
//
// Each test file owns its own third/fourth pairs, so the executables of one
// run never meet. <net> is the run's own base, from the environment variable
// VELMORA_TEST_NET (0 to 255, 0 when unset), so that two runs of the whole
// suite on one machine with different bases never meet either. With the
// variable unset the addresses are 127.0.<third>.<fourth>.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::testing {

// The second octet of every test address. A value that is not a number from
// 0 to 255 stops the program: a run on an unintended base could collide.
inline int TestNet() {
  static const int net = [] {
    const char* text = std::getenv("VELMORA_TEST_NET");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 255) {
      std::fprintf(stderr, "VELMORA_TEST_NET=%s: expected a number from 0 to 255\n", text);
      std::abort();
    }
    return int(value);
  }();
  return net;
}

// Dotted form, valid for the whole run (usable where a literal was). Takes
// no lock, so a forked child may call it whatever the parent's threads did.
inline const char* TestAddress(int third, int fourth) {
  static std::atomic<const char*> made[1 << 16];  // never freed: the run keeps them
  std::atomic<const char*>& slot = made[(third & 0xFF) << 8 | (fourth & 0xFF)];
  if (const char* text = slot.load(std::memory_order_acquire)) return text;
  const std::string dotted = "127." + std::to_string(TestNet()) + "." +
                             std::to_string(third & 0xFF) + "." + std::to_string(fourth & 0xFF);
  char* const text = new char[dotted.size() + 1];
  std::memcpy(text, dotted.c_str(), dotted.size() + 1);
  const char* expected = nullptr;
  if (slot.compare_exchange_strong(expected, text, std::memory_order_acq_rel)) return text;
  delete[] text;  // another thread made it first
  return expected;
}

// The same address as a number in host byte order.
inline std::uint32_t TestAddressHost(int third, int fourth) {
  return std::uint32_t(127) << 24 | std::uint32_t(TestNet()) << 16 |
         std::uint32_t(third & 0xFF) << 8 | std::uint32_t(fourth & 0xFF);
}

}  // namespace velmora::testing
