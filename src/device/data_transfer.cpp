// Data transfer: read a block from the device ("RREQ?") or write one
// ("WDATA"). The bytes travel as a chunk payload, untouched.
#include <algorithm>
#include <new>
#include <string>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

class CopyData : public SuccessAction {
 public:
  CopyData(std::int32_t* count, void* buffer, std::int32_t capacity)
      : Count(count), Buffer(buffer), Capacity(capacity) {}

  std::int32_t OnSuccess(TReply& reply) override {
    const std::size_t n = std::min(reply.PayloadSize, std::size_t(Capacity));
    CallerOutput out;
    out.Cell(Count, std::int32_t(n));
    out.Bytes(Buffer, reply.Payload, n);
    return out.Write() ? ErrorSuccess : ErrorNoAccess;
  }

 private:
  std::int32_t* Count;
  void* Buffer;
  std::int32_t Capacity;
};

class ReportAccepted : public SuccessAction {
 public:
  explicit ReportAccepted(std::int32_t* count) : Count(count) {}

  // The device's number is passed on as it is, not compared with what was sent.
  std::int32_t OnSuccess(TReply& reply) override {
    if (!WriteCell(Count, diff::BytesToInt(reply.Chunk->GetHeaderValue(wire::header::Bytes)))) {
      return ErrorNoAccess;
    }
    return ErrorSuccess;
  }

 private:
  std::int32_t* Count;
};

// The "WDATA" header, then the caller's bytes from where they lie.
class SendFromCaller : public RequestSender {
 public:
  SendFromCaller(const std::string& header, const void* buffer, std::size_t length)
      : Header(header), Buffer(buffer), Length(length) {}

  std::int32_t Send(TVClientSock& h) override {
    // No memory for the rest is a request that cannot be built.
    try {
      if (!h.Sock->QueueSendFrom(Header, Buffer, Length, &platform::GuardedReadAll)) {
        return ErrorNoAccess;
      }
    } catch (const std::bad_alloc&) {
      return ErrorInternalError;
    }
    return ErrorSuccess;
  }

 private:
  const std::string& Header;
  const void* Buffer;
  std::size_t Length;
};

// The count both transfers start from: an unreadable cell gives 998 and is
// left alone; 0 or less gives 24 and clears it. 0 when `value` is usable.
std::int32_t ReadPositiveCount(std::int32_t* count, const OutputCells& cells, std::int32_t& value) {
  if (!ReadCell(count, value)) return ErrorNoAccess;
  if (value > 0) return ErrorSuccess;
  cells.Clear();
  return ErrorBadLength;
}

}  // namespace

std::int32_t GetData(NDX_HANDLE handle, std::int32_t* count, void* buffer) noexcept {
  const OutputCells cells(count);
  return RunOperation(handle, Direction::Input, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t capacity = 0;
    if (const std::int32_t refused = ReadPositiveCount(count, cells, capacity)) return refused;
    if (buffer == nullptr) return cells.Refuse(ErrorNoAccess);
    std::string request;
    try {
      request = BuildRequest(wire::tag::GetData, wire::header::Length, diff::IntToBytes(capacity), true);
    } catch (...) {
      return ErrorInternalError;  // the count stays as the caller passed it
    }
    CopyData action(count, buffer, capacity);
    return Exchange(h, std::move(request), wire::tag::Data, action, cells);
  });
}

std::int32_t PutData(NDX_HANDLE handle, std::int32_t* count, const void* buffer) noexcept {
  const OutputCells cells(count);
  return RunOperation(handle, Direction::Output, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t length = 0;
    if (const std::int32_t refused = ReadPositiveCount(count, cells, length)) return refused;
    // The request is what SaveToString makes of a "WDATA" chunk with no
    // headers and no children: its header, then the caller's bytes, which go
    // to the socket straight from the caller's memory once all of it is
    // known readable; only what the socket cannot take at once is copied.
    const std::size_t bytes = static_cast<std::size_t>(length);
    if (!platform::GuardedCanRead(buffer, bytes)) return cells.Refuse(ErrorNoAccess);
    std::string header;
    try {
      header = diff::BareFrameHeader(wire::tag::PutData, static_cast<std::uint32_t>(length));
    } catch (...) {
      cells.Clear();
      return ErrorInternalError;
    }
    SendFromCaller sender(header, buffer, bytes);
    ReportAccepted action(count);
    return ExchangeSent(h, sender, wire::tag::WriteAccepted, action, cells);
  });
}

}  // namespace velmora::device
