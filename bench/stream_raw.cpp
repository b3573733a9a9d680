// The raw side of the stream CPU figure (bench/stream_cpu.py): one thread,
// one socket, the very requests a stream sends. It sets the device up with
// raw commands, starts it, and fetches every packet the way the Python
// stream does (asking again after a quarter of a packet's time when nothing
// is new) for a fixed time, then prints the reply bytes it received and the
// CPU time its process spent doing so.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "diff/chunk_builder.h"
#include "diff/diff_tags.h"
#include "diff/wire_vocabulary.h"
#include "raw_reference.h"

namespace velmora::bench {

namespace {

std::string Command(std::string_view tag, std::string_view header, std::int32_t value) {
  return diff::SerializeChunk(tag, {{std::string(header), diff::IntToBytes(value)}});
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int StreamRaw(const char* address, double seconds, std::int32_t hz, std::int32_t bits,
              std::int32_t block) {
  RawReference raw;
  const std::size_t room = std::size_t(64) << 20;  // a 16 MiB block and what follows it
  if (!raw.Open(address, wire::DevicePort(true, 0), true, room)) {
    std::fprintf(stderr, "velmora-bench: no device at %s\n", address);
    return 2;
  }
  const bool set = raw.Send(Command(wire::tag::SetFrequency, wire::header::Hz, hz)) &&
                   raw.Send(Command(wire::tag::SetPacketBits, wire::header::Bits, bits)) &&
                   raw.Send(Command(wire::tag::SetBlockSize, wire::header::Bytes, block)) &&
                   raw.Send(diff::SerializeChunk(wire::tag::GoClear));
  if (!set) return 2;
  const double width = double(bits / 8);
  const double pause = std::min(std::max(block / width / hz * 0.25, 0.0002), 0.05);
  const std::string request = diff::SerializeChunk(wire::tag::GetAllPackets);
  const double cpuBefore = ProcessCpuSeconds();
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t bytes = 0, replies = 0, empty = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (!raw.Send(request) || !raw.ReadFrame()) return 2;
    const diff::UnpackedTag tag = diff::UnpackTag(diff::ReadU32(raw.Frame()));
    if (tag.Tag == wire::tag::Data) {
      bytes += raw.FrameLength();
      ++replies;
    } else {
      ++empty;
      std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    }
  }
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  raw.Send(diff::SerializeChunk(wire::tag::Clear));
  std::printf("{\"bytes\": %llu, \"cpu_seconds\": %.3f, \"replies\": %llu, \"empty\": %llu}\n",
              (unsigned long long)bytes, cpu, (unsigned long long)replies,
              (unsigned long long)empty);
  return 0;
}

}  // namespace velmora::bench
