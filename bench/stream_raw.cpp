// The raw side of the stream CPU figure (bench/stream_cpu.py): one thread,
// one socket, the very requests a stream sends. It sets the device up with
// raw commands, starts it, and fetches every packet the way the Python
// stream does (not before the next packet can have completed, and again
// after a quarter of a packet's time when nothing is new) for a fixed time,
// then prints the reply bytes it received and the CPU time its process
// spent doing so.
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
  using Clock = std::chrono::steady_clock;
  const double packetSeconds = block / width / hz;
  const auto packetTime = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(packetSeconds));
  // As the stream: as many packets as complete within 10 ms per request.
  const std::int64_t perAsk = std::max<std::int64_t>(1, std::int64_t(0.01 * hz * width) / block);
  const double cpuBefore = ProcessCpuSeconds();
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t bytes = 0, replies = 0, empty = 0, packets = 0;
  // As the stream: the latest the device can have begun, from the packets
  // received so far (a reply's frame is whole packets and a short header).
  Clock::time_point began = Clock::time_point::max(), due{};
  while (Clock::now() < end) {
    std::this_thread::sleep_until(due);
    if (!raw.Send(request) || !raw.ReadFrame()) return 2;
    const diff::UnpackedTag tag = diff::UnpackTag(diff::ReadU32(raw.Frame()));
    if (tag.Tag == wire::tag::Data) {
      bytes += raw.FrameLength();
      ++replies;
      packets += raw.FrameLength() / std::size_t(block);
      began = std::min(began, Clock::now() - packetTime * std::int64_t(packets));
      due = began + packetTime * std::int64_t(packets + perAsk);
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
