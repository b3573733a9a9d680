// Calls an exported function with its arguments given as machine words, the
// way a host calls it. On 32-bit x86 the arguments are pushed and the call
// made in assembly, and the result says who removed them: the stack pointer
// after the call, relative to before the pushes, is -4 per argument when the
// caller must remove them (cdecl) and 0 when the callee did (stdcall).
// Elsewhere there is one calling convention and the call is an ordinary one
// through the function's own type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::testing {

using Words = std::vector<std::uintptr_t>;

struct ProbedCall {
  std::intptr_t Result = 0;      // a handle for Connect, an error number otherwise
  std::int32_t StackShift = 0;   // meaningful when Probed
  bool Probed = false;
};

#if defined(__i386__)
// Pushes `count` words right to left on a 16-byte aligned stack, calls `fn`,
// stores the stack shift and returns eax. The frame is restored whatever the
// callee removed, so a wrong count is reported, not a crash. The label has no
// C decoration, so the same code serves ELF and PE objects.
extern "C" std::int32_t VelmoraProbeCall(const void* fn, const std::uint32_t* words,
                                         std::int32_t count, std::int32_t* stackShift)
    __asm__("velmora_probe_call");

template <typename Function>
ProbedCall CallWithWords(const void* fn, const Words& w) {
  std::vector<std::uint32_t> words(w.begin(), w.end());
  ProbedCall call;
  call.Probed = true;
  call.StackShift = 12345;
  call.Result = VelmoraProbeCall(fn, words.data(), std::int32_t(words.size()), &call.StackShift);
  return call;
}
#else
template <typename T>
T FromWord(std::uintptr_t w) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(w);
  } else {
    return static_cast<T>(w);
  }
}

template <typename R, typename... A, std::size_t... I>
std::intptr_t CallUnpacked(R (*fn)(A...), const Words& w, std::index_sequence<I...>) {
  const R r = fn(FromWord<A>(w.at(I))...);
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<std::intptr_t>(r);
  } else {
    return std::intptr_t(r);
  }
}

template <typename R, typename... A>
std::intptr_t CallTyped(R (*fn)(A...), const Words& w) {
  return CallUnpacked(fn, w, std::index_sequence_for<A...>{});
}

template <typename Function>
ProbedCall CallWithWords(const void* fn, const Words& w) {
  ProbedCall call;
  call.Result = CallTyped(reinterpret_cast<Function>(const_cast<void*>(fn)), w);
  return call;
}
#endif

}  // namespace velmora::testing
