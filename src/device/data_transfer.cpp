// Data transfer: read a block from the device ("RREQ?") or write one
// ("WDATA"). The bytes travel as a chunk payload, untouched.
#include <algorithm>
#include <string>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

constexpr std::size_t FrameHeaderBytes = 8;  // tag word and body length

class CopyData : public SuccessAction {
 public:
  CopyData(std::int32_t* count, void* buffer, std::int32_t capacity)
      : Count(count), Buffer(buffer), Capacity(capacity) {}

  std::int32_t OnSuccess(diff::TDIFFChunk& reply) override {
    const std::size_t n = std::min(reply.Payload.size(), std::size_t(Capacity));
    if (!CanWriteAll({{Count, sizeof *Count}, {Buffer, n}}) ||
        !WriteCell(Count, std::int32_t(n)) || !CopyOut(Buffer, reply.Payload.data(), n)) {
      return ErrorNoAccess;
    }
    return ErrorSuccess;
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
  std::int32_t OnSuccess(diff::TDIFFChunk& reply) override {
    if (!WriteCell(Count, diff::BytesToInt(reply.GetHeaderValue(wire::header::Bytes)))) return ErrorNoAccess;
    return ErrorSuccess;
  }

 private:
  std::int32_t* Count;
};

}  // namespace

std::int32_t GetData(NDX_HANDLE handle, std::int32_t* count, void* buffer) noexcept {
  const OutputCells cells(count);
  return RunReplyOperation(handle, true, cells, [&](TVClientSock& h) -> std::int32_t {
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
  return RunReplyOperation(handle, false, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t length = 0;
    if (!ReadCell(count, length)) return ErrorNoAccess;
    if (length <= 0) {
      cells.Clear();
      return ErrorBadLength;
    }
    // A count far larger than the buffer behind it is refused before the
    // library reserves (and zero-fills) that much memory.
    if (!platform::GuardedCanRead(buffer, static_cast<std::size_t>(length))) {
      cells.Clear();
      return ErrorNoAccess;
    }
    // The request is what SaveToString makes of a "WDATA" chunk with no
    // headers and no children: the tag word, the body length, the payload.
    // Built in place, the caller's bytes are copied once, straight into the
    // bytes that go on the wire, instead of into a payload and then again
    // into the serialized chunk.
    // No memory for the request is a request that cannot be built, as in
    // every other operation.
    std::string request;
    try {
      request.resize(FrameHeaderBytes + static_cast<std::size_t>(length));
    } catch (...) {
      cells.Clear();
      return ErrorInternalError;
    }
    if (!platform::GuardedRead(request.data() + FrameHeaderBytes, buffer,
                               static_cast<std::size_t>(length))) {
      cells.Clear();
      return ErrorNoAccess;
    }
    try {
      diff::WriteU32(request.data(), diff::PackTag(wire::tag::PutData, false, false));
      diff::WriteU32(request.data() + 4, static_cast<std::uint32_t>(length));
    } catch (...) {
      cells.Clear();
      return ErrorInternalError;
    }
    ReportAccepted action(count);
    return Exchange(h, std::move(request), wire::tag::WriteAccepted, action, cells);
  });
}

}  // namespace velmora::device
