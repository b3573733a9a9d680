// Large transfers: NDX_GetData and NDX_PutData of 64 KiB, 1 MiB and 16 MiB.
#include "device/device_api.h"
#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"
#include "turns.h"

namespace velmora::bench {

namespace {

constexpr std::size_t MiB = 1u << 20;

struct Size {
  std::size_t Bytes;
  const char* Label;
  int Samples;
  // Fractions of the reference's MB/s, to be met in every placement; 0: none.
  double ReadTarget;
  double WriteTarget;
};

constexpr Size Sizes[] = {{64 * 1024, "64 KiB", 40, 0, 0},
                          {MiB, "1 MiB", 20, 0.80, 0.85},
                          {16 * MiB, "16 MiB", 5, 0.80, 0.85}};

Comparison Throughput(const std::string& name, const Size& z, double target) {
  Comparison c;
  c.Name = name + z.Label;
  c.Reference = "raw request/reply";
  c.Unit = Comparison::Kind::Throughput;
  c.Bytes = z.Bytes;
  if (target > 0) {
    c.Limit = target;
    c.PinnedLimit = target;
    c.LowerIsBetter = false;
    c.Target = ">= " + std::to_string(int(target * 100 + 0.5)) + "% in every placement";
  }
  return c;
}

}  // namespace

void BulkTransfers(const Settings& s, Links& l, std::vector<Comparison>& rows) {
  sim::SimulatedDevice& dev = *l.Device;
  std::vector<char> buffer(16 * MiB, 'c');  // the caller's buffer, touched once
  for (const Size& z : Sizes) {
    Comparison c = Throughput("bulk: NDX_GetData ", z, z.ReadTarget);
    const std::string request = GetDataRequest(std::int32_t(z.Bytes));
    // The store gets exactly one reply's worth before each call, outside the
    // timing; building that string costs far more than the transfer here.
    auto prepare = [&] {
      dev.DiscardStore(0);
      dev.FillStore(0, std::string(z.Bytes, 'g'));
    };
    auto lib = [&] { return LibraryRead(l.In, std::int32_t(z.Bytes), buffer.data()); };
    auto raw = [&] {
      const double t = RawRead(l.RawIn, request);
      Check(l.RawIn.FrameLength() == 8 + z.Bytes, "raw read length");
      return t;
    };
    // A handle's first large replies grow its buffers into fresh memory;
    // the figures are for the steady state after that.
    WarmUp(4, prepare, lib, raw);
    Alternate(s, c, s.Samples(z.Samples), prepare, lib, raw);
    rows.push_back(std::move(c));
  }
  for (const Size& z : Sizes) {
    Comparison c = Throughput("bulk: NDX_PutData ", z, z.WriteTarget);
    const std::string request =
        diff::SerializeChunk(wire::tag::PutData, {}, std::string(buffer.data(), z.Bytes));
    auto prepare = [&] { dev.DiscardStore(0); };
    auto lib = [&] {
      std::int32_t count = std::int32_t(z.Bytes);
      std::int32_t rc = 0;
      const double t = Time([&] { rc = device::PutData(l.Out, &count, buffer.data()); });
      Check(rc == 0 && std::size_t(count) == z.Bytes, "PutData bulk", rc);
      return t;
    };
    auto raw = [&] { return RawRead(l.RawOut, request); };
    WarmUp(4, prepare, lib, raw);
    Alternate(s, c, s.Samples(z.Samples), prepare, lib, raw);
    rows.push_back(std::move(c));
  }
  dev.DiscardStore(0);
}

}  // namespace velmora::bench
