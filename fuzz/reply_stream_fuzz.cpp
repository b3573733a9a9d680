// Fuzz target: the device's reply stream, fed into a real device handle over
// loopback TCP, so that Exchange, Resync and the framing of replies see
// arbitrary bytes arriving before and between requests.
//
// The input is a list of records; each adds raw bytes or one well-framed
// chunk (a reply with a tag the library knows, or another) to the piece of
// the stream that the device sends before the next operation. Invariants:
// every result is one of the documented numbers, a count never exceeds its
// capacity, and a failed call leaves its counts 0.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_api.h"
#include "diff/chunk_builder.h"
#include "diff/wire_vocabulary.h"
#include "platform/platform.h"

using namespace velmora;

namespace {

const char* const Address = "127.0.0.120";
constexpr std::uint16_t Port = wire::DevicePort(true, 0);
constexpr int MaxOperations = 4;

[[noreturn]] void Fail(const char* what, long value) {
  std::fprintf(stderr, "invariant broken: %s (%ld)\n", what, value);
  std::abort();
}

platform::Socket Listener() {
  static const platform::Socket listener = [] {
    return platform::SocketListen(platform::ParseDottedAddress(Address),
                                  platform::PortToNetwork(Port), 4);
  }();
  return listener;
}

// Splits the input into the pieces the device sends before each operation.
std::vector<std::string> Pieces(const std::uint8_t* data, std::size_t size) {
  static const std::string_view OtherTags[] = {wire::tag::WriteAccepted, wire::tag::Retry, "HELLO",
                                               wire::tag::GetAllPackets, "~~~~~"};
  std::vector<std::string> pieces(1);
  std::size_t i = 0;
  while (i + 2 <= size && pieces.size() <= MaxOperations) {
    const std::uint8_t kind = data[i];
    std::size_t n = data[i + 1];
    i += 2;
    if (n > size - i) n = size - i;
    const std::string bytes(reinterpret_cast<const char*>(data + i), n);
    i += n;
    if (kind & 0x80) pieces.emplace_back();
    std::string& out = pieces.back();
    switch (kind % 7) {
      case 0: out += bytes; break;
      case 1: out += diff::SerializeChunk(wire::tag::Data, {}, bytes); break;
      case 2:
        out += diff::SerializeChunk(wire::tag::Data, {{std::string(wire::header::Time), bytes.substr(0, 8)}},
                                    bytes.size() > 8 ? bytes.substr(8) : "");
        break;
      case 3:
        out += diff::SerializeChunk(wire::tag::NoWork, {{std::string(wire::header::Status), bytes.substr(0, 4)}});
        break;
      case 4: out += diff::SerializeChunk(wire::tag::IoError, {}, bytes); break;
      case 5: out += diff::SerializeChunk(OtherTags[n % 5], {}, bytes); break;
      default: {
        // A frame cut short: its body length claims more than follows.
        std::string frame = diff::SerializeChunk(wire::tag::Data, {}, bytes);
        out += frame.substr(0, frame.size() / 2);
        break;
      }
    }
  }
  return pieces;
}

// A send that fails is no fault of the harness: the call under test reports it.
void Send(platform::Socket s, const std::string& bytes) {
  platform::SocketSendAll(s, bytes.data(), bytes.size());
}

void CheckResult(std::int32_t result, std::int32_t count, std::int32_t capacity) {
  switch (result) {
    case 0: case 13: case 30: case 58: case 66: case 1460: case 2250: break;
    default: Fail("undocumented result", result);
  }
  if (count < 0 || count > capacity) Fail("count outside its capacity", count);
  if (result != 0 && count != 0) Fail("count left set on failure", count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::mutex serial;  // one handle and one listener for the whole process
  std::lock_guard<std::mutex> lock(serial);
  if (size == 0 || size > 1 << 16 || Listener() == platform::InvalidSocket) return 0;

  NDX_HANDLE h = device::Connect(Address, 1, 0);
  if (h == nullptr) Fail("connect failed", long(platform::GetLastError()));
  const platform::Socket peer = platform::SocketAccept(Listener());
  if (peer == platform::InvalidSocket) Fail("accept failed", 0);
  device::SetTimeout(h, 1);

  const std::uint8_t selector = data[0];
  const std::vector<std::string> pieces = Pieces(data + 1, size - 1);
  char time[8];
  std::vector<char> buffer(512);
  for (std::size_t op = 0; op < pieces.size(); ++op) {
    Send(peer, pieces[op]);
    const int which = (selector >> (2 * (op % 4))) & 3;
    std::int32_t count = std::int32_t(1 + (selector * 37 + op * 101) % buffer.size());
    const std::int32_t capacity = count;
    std::int32_t timeCount = 8;
    std::int32_t result;
    if (which == 0) {
      result = device::GetAllPackets(h, &timeCount, time, &count, buffer.data());
    } else if (which == 1) {
      result = device::GetLatestPacketAndDiscard(h, &timeCount, time, &count, buffer.data());
    } else {
      result = device::GetData(h, &count, buffer.data());
    }
    CheckResult(result, count, capacity);
    if (which < 2) CheckResult(result, timeCount, 8);
  }
  // After the device hangs up, the next call reports the link.
  platform::SocketShutdownBoth(peer);
  platform::SocketClose(peer);
  for (int i = 0; i < 1000; ++i) {
    std::int32_t count = 4;
    const std::int32_t result = device::GetData(h, &count, buffer.data());
    CheckResult(result, count, 4);
    if (result == 2250) break;
  }
  if (device::Close(h) != 0) Fail("close failed", 0);
  return 0;
}
