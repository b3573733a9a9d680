// Data transfer: read a block from the device ("RREQ?") or write one
// ("WDATA"). The bytes travel as a chunk payload, untouched.
#include <algorithm>
#include <string>

#include "device/device_api.h"
#include "device/exchange.h"

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
    if (!WriteCell(Count, diff::BytesToInt(reply.Chunk->GetHeaderValue("Bytes")))) {
      return ErrorNoAccess;
    }
    return ErrorSuccess;
  }

 private:
  std::int32_t* Count;
};

}  // namespace

std::int32_t GetData(NDX_HANDLE handle, std::int32_t* count, void* buffer) noexcept {
  const OutputCells cells(count);
  return RunOperation(handle, Direction::Input, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t capacity = 0;
    if (!ReadCell(count, capacity)) return ErrorNoAccess;
    if (capacity <= 0) {
      cells.Clear();
      return ErrorBadLength;
    }
    if (buffer == nullptr) {
      cells.Clear();
      return ErrorNoAccess;
    }
    std::string request;
    try {
      request = BuildRequest("RREQ?", "Len", diff::IntToBytes(capacity), true);
    } catch (...) {
      return ErrorInternalError;  // the count stays as the caller passed it
    }
    CopyData action(count, buffer, capacity);
    return Exchange(h, std::move(request), "RDATA", action, cells);
  });
}

std::int32_t PutData(NDX_HANDLE handle, std::int32_t* count, const void* buffer) noexcept {
  const OutputCells cells(count);
  return RunOperation(handle, Direction::Output, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t length = 0;
    if (!ReadCell(count, length)) return ErrorNoAccess;
    if (length <= 0) {
      cells.Clear();
      return ErrorBadLength;
    }
    // The request is what SaveToString makes of a "WDATA" chunk with no
    // headers and no children, built in place: the caller's bytes are copied
    // once, straight into the bytes that go on the wire. The buffer is
    // checked whole before anything is reserved, so a count far larger than
    // the memory behind it costs nothing. No memory for the request is a
    // request that cannot be built, as in every other operation.
    const std::size_t bytes = static_cast<std::size_t>(length);
    if (!platform::GuardedCanRead(buffer, bytes)) {
      cells.Clear();
      return ErrorNoAccess;
    }
    std::string request;
    try {
      request = diff::BareFrameHeader("WDATA", static_cast<std::uint32_t>(length));
      request.resize(request.size() + bytes);
    } catch (...) {
      cells.Clear();
      return ErrorInternalError;
    }
    if (!platform::GuardedReadAll(request.data() + request.size() - bytes, buffer, bytes)) {
      cells.Clear();
      return ErrorNoAccess;
    }
    ReportAccepted action(count);
    return Exchange(h, std::move(request), "WRESP", action, cells);
  });
}

}  // namespace velmora::device
