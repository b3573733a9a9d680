// The codec alone, against memcpy of the same bytes: building and loading a
// 1 MiB frame, and cutting many small chunks off one buffer.
#include <cstring>
#include <memory>

#include "diff/chunk_builder.h"
#include "diff/diff_chunk.h"
#include "diff/wire_vocabulary.h"
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
    auto chunk = diff::TDIFFChunk::Make();
    chunk->SetTag(wire::tag::Data);
    chunk->Payload = payload;
    std::string out;
    auto lib = [&] {
      out = std::string();  // the previous result goes, outside the timing
      return Time([&] { out = chunk->SaveToString(); });
    };
    Measure(s, rows, AtMost("codec: SaveToString, 1 MiB payload", "memcpy 1 MiB", 3.0), 3, samples,
            nullptr, lib, copy);
  }
  {
    const std::string frame =
        diff::SerializeChunk(wire::tag::Data, {{std::string(wire::header::Time), std::string(8, 't')}}, payload);
    std::unique_ptr<diff::TDIFFChunk> loaded;
    auto lib = [&] {
      loaded.reset();
      return Time([&] { loaded = diff::TDIFFChunk::MakeFromString(frame); });
    };
    Measure(s, rows, AtMost("codec: MakeFromString, 1 MiB payload", "memcpy 1 MiB", 3.0), 3, samples,
            nullptr, lib, copy);
    Check(loaded && loaded->Payload.size() == MiB, "load");
  }
  {
    // Cutting N small chunks off one buffer: time per chunk at N = 10,000
    // against N = 1,000. Linear cutting keeps the two equal.
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
    Measure(s, rows,
            AtMost("codec: cut 10,000 small chunks, per chunk", "cut 1,000, per chunk", 1.5, " (linear)"), 1,
            s.Samples(10), nullptr, big, small);
  }
}

}  // namespace velmora::bench
