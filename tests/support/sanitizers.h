// Which sanitizer a test program is built with, for the few tests whose
// expectations a sanitizer's runtime changes (its own threads, its
// allocator's locks, its slowness). GCC and Clang announce it differently.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_TEST_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define VELMORA_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_TEST_TSAN 1
#endif
#endif

namespace velmora::testing {

#if defined(VELMORA_TEST_ASAN)
constexpr bool UnderAddressSanitizer = true;
#else
constexpr bool UnderAddressSanitizer = false;
#endif

#if defined(VELMORA_TEST_TSAN)
constexpr bool UnderThreadSanitizer = true;
#else
constexpr bool UnderThreadSanitizer = false;
#endif

constexpr bool UnderSanitizer = UnderAddressSanitizer || UnderThreadSanitizer;

}  // namespace velmora::testing
