// The codec alone, against memcpy of the same bytes: building and loading a
// 1 MiB frame, and cutting many small chunks off one buffer.
#include <cstring>
#include <memory>

#include "device/exchange.h"
#include "diff/diff_chunk.h"
#include "turns.h"

namespace velmora::bench {

namespace {
constexpr std::size_t MiB = 1u << 20;
}  // namespace

void Codec(const Settings& s, std::vector<Comparison>& rows) {
  const int samples = s.Samples(60);
  std::string payload(MiB, 'p');
  std::vector<char> target(MiB, 't');
  auto copy = [&] {
    return Time([&] { std::memcpy(target.data(), payload.data(), MiB); });
  };
  {
    Comparison c;
    c.Name = "codec: SaveToString, 1 MiB payload";
    c.Reference = "memcpy 1 MiB";
    c.Target = "<= 3.0x";
    c.Limit = 3.0;
    auto chunk = diff::TDIFFChunk::Make();
    chunk->SetTag("RDATA");
    chunk->Payload = payload;
    std::string out;
    auto lib = [&] {
      out = std::string();  // the previous result goes, outside the timing
      return Time([&] { out = chunk->SaveToString(); });
    };
    WarmUp(3, nullptr, lib, copy);
    Alternate(s, c, samples, nullptr, lib, copy);
    rows.push_back(std::move(c));
  }
  {
    Comparison c;
    c.Name = "codec: MakeFromString, 1 MiB payload";
    c.Reference = "memcpy 1 MiB";
    c.Target = "<= 3.0x";
    c.Limit = 3.0;
    const std::string frame = device::BuildRequest("RDATA", "Time", std::string(8, 't'), true,
                                                   payload);
    std::unique_ptr<diff::TDIFFChunk> loaded;
    auto lib = [&] {
      loaded.reset();
      return Time([&] { loaded = diff::TDIFFChunk::MakeFromString(frame); });
    };
    WarmUp(3, nullptr, lib, copy);
    Alternate(s, c, samples, nullptr, lib, copy);
    Check(loaded && loaded->Payload.size() == MiB, "load");
    rows.push_back(std::move(c));
  }
  {
    // Cutting N small chunks off one buffer: time per chunk at N = 10,000
    // against N = 1,000. Linear cutting keeps the two equal.
    Comparison c;
    c.Name = "codec: cut 10,000 small chunks, per chunk";
    c.Reference = "cut 1,000, per chunk";
    c.Target = "<= 1.5x (linear)";
    c.Limit = 1.5;
    const std::string one = SetFreqRequest(1000);
    auto cut = [&](int n) {
      std::string all;
      all.reserve(one.size() * std::size_t(n));
      for (int i = 0; i < n; ++i) all += one;
      diff::TChunkBuffer buffer;
      buffer.Append(std::move(all));
      int got = 0;
      const double t = Time([&] {
        while (auto chunk = diff::ExtractChunk(buffer)) ++got;
      });
      Check(got == n && buffer.empty(), "cutting", got);
      return t / n;
    };
    auto big = [&] { return cut(10000); };
    auto small = [&] { return cut(1000); };
    WarmUp(1, nullptr, big, small);
    Alternate(s, c, s.Samples(10), nullptr, big, small);
    rows.push_back(std::move(c));
  }
}

}  // namespace velmora::bench
