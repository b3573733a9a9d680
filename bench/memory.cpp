// Peak resident memory of a process that does one 16 MiB NDX_GetData. The
// read runs in a fresh child process (this program again, in its child
// mode), so nothing this process did before can hide or inflate the figure.
// Linux only: the figures come from /proc/self/status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_api.h"
#include "turns.h"

namespace velmora::bench {

namespace {

constexpr std::size_t Payload = 16u << 20;

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when unknown.
long StatusKiB(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      value = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// Runs one child; false when it failed. Sets the resident memory it gained
// during the read, in MiB.
bool RunChild(const Settings& s, bool library, double& gainedMiB) {
  const std::string command =
      "'" + s.SelfPath + "' --memory-child " + s.Address + (library ? " library" : " raw");
  std::FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return false;
  long rc = -1, count = 0, base = 0, peak = 0;
  const int fields = std::fscanf(p, "%ld %ld %ld %ld", &rc, &count, &base, &peak);
  const int status = pclose(p);
  if (fields != 4 || status != 0 || rc != 0 || std::size_t(count) != Payload || base < 0 ||
      peak < base) {
    std::fprintf(stderr, "velmora-bench: memory child: %d fields, status %d, rc %ld, count %ld\n",
                 fields, status, rc, count);
    return false;
  }
  gainedMiB = double(peak - base) / 1024.0;
  return true;
}

}  // namespace

int MemoryChild(const std::string& address, bool library) {
  // The caller's buffer is the caller's memory: it is touched before the
  // baseline, so the figure is what the read itself adds.
  std::vector<char> buffer(Payload, 'm');
  std::int32_t rc = 0;
  std::int32_t count = std::int32_t(Payload);
  long base = 0;
  if (library) {
    NDX_HANDLE h = device::Connect(address.c_str(), 1, 0);
    if (h == nullptr) return 3;
    base = StatusKiB("VmRSS");
    rc = device::GetData(h, &count, buffer.data());
    const long peak = StatusKiB("VmHWM");
    device::Close(h);
    std::printf("%d %d %ld %ld\n", rc, count, base, peak);
    return 0;
  }
  // The reference reads the frame straight into a buffer of its own; its
  // 8-byte frame header is why that buffer is not the caller's.
  RawReference raw;
  if (!raw.Open(address.c_str(), sim::InputPort(0), true, Payload + 64)) return 3;
  base = StatusKiB("VmRSS");
  const std::string request = GetDataRequest(count);
  if (!raw.Send(request) || !raw.ReadFrame()) return 4;
  const long peak = StatusKiB("VmHWM");
  std::printf("0 %zu %ld %ld\n", raw.FrameLength() - 8, base, peak);
  return 0;
}

void Memory(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  Comparison c;
  c.Name = "memory: one 16 MiB NDX_GetData, resident growth";
  c.Reference = "raw read";
  c.Unit = Comparison::Kind::Memory;
  c.MemoryBase = double(Payload) / double(1u << 20);
  c.Target = "<= 1.2x payload";
  c.Limit = 1.2;
  c.Note = "peak resident (VmHWM) minus resident before the call, in a fresh process whose "
           "16 MiB caller buffer is already touched; the ratio is over the 16 MiB payload";
  const int samples = s.Smoke ? 1 : 2;
  Unpin();  // a child inherits the affinity of the thread that starts it
  for (int r = 0; r < s.Reps; ++r) {
    const std::size_t a = c.Library.size(), b = c.Raw.size();
    for (int i = 0; i < samples; ++i) {
      for (int side = 0; side < 2; ++side) {
        const bool library = side == 0;
        double gained = 0;
        l.Device->DiscardStore(0);
        l.Device->FillStore(0, std::string(Payload, 'r'));
        if (!RunChild(s, library, gained)) std::exit(2);
        AddSample(c, library, -1, gained);
      }
    }
    EndRepetition(c, a, b);
    if (s.Smoke) break;
  }
  l.Device->DiscardStore(0);
  rows.push_back(std::move(c));
}

}  // namespace velmora::bench
