// velmora-demo: shows the DIFF chunk codec at work on the two worked
// examples of the wire format. Needs no device and no network.
#include <cstdio>
#include <string>

#include "diff/diff_chunk.h"

using namespace velmora::diff;

namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Saves the chunk, loads the bytes back and saves again; prints both.
bool RoundTrip(const char* title, const TDIFFChunk& chunk) {
  const std::string bytes = chunk.SaveToString();
  std::printf("%s, %zu bytes:\n  %s\n", title, bytes.size(), Hex(bytes).c_str());
  auto loaded = TDIFFChunk::MakeFromString(bytes);
  std::printf("  loads as tag %s, %zu header(s), %zu child chunk(s), %zu payload byte(s)\n",
              loaded->Tag.c_str(), loaded->Headers.size(), loaded->Chunks.size(),
              loaded->Payload.size());
  const bool same = loaded->SaveToString() == bytes;
  std::printf("  saved again: %s\n\n", same ? "identical bytes" : "DIFFERENT BYTES");
  return same;
}

}  // namespace

int main() {
  auto wfreq = TDIFFChunk::Make();
  wfreq->SetTag("WFREQ");
  wfreq->AddHeader("Hz", IntToBytes(1000));

  auto nested = TDIFFChunk::Make();
  nested->SetTag("AAAAA");
  TDIFFChunk* child = nested->NewChunk();
  child->SetTag("BBBBB");
  child->Payload = std::string("\x01\x02", 2);

  bool ok = RoundTrip("WFREQ request with header Hz = 1000", *wfreq);
  ok = RoundTrip("AAAAA chunk holding a BBBBB child with payload 01 02", *nested) && ok;

  // Both back to back in one receive buffer, as they would arrive.
  std::string received = wfreq->SaveToString() + nested->SaveToString();
  std::printf("Cutting chunks off a %zu-byte receive buffer:\n", received.size());
  while (auto c = ExtractChunk(received)) {
    std::printf("  %s, %zu header(s), %zu child chunk(s); %zu bytes left\n", c->Tag.c_str(),
                c->Headers.size(), c->Chunks.size(), received.size());
  }

  // A frame that claims more body than it carries.
  const std::string truncated("\xC1\xDF\xEA\xA9\x10\x00\x00\x00\x01\x02\x03\x04", 12);
  std::printf("\nLoading %s:\n", Hex(truncated).c_str());
  try {
    TDIFFChunk::MakeFromString(truncated);
    std::printf("  loaded (unexpected)\n");
    ok = false;
  } catch (const EDIFFBufferError& e) {
    std::printf("  EDIFFBufferError: %s\n", e.Message.c_str());
  }
  return ok ? 0 : 1;
}
