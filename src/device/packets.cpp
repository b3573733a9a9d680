// Packet retrieval: all packets ("RREQA") or the latest one ("RREQL"), with
// the reply's "Time" value. The payload and the time value are opaque bytes.
#include <algorithm>
#include <string>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

class CopyPackets : public SuccessAction {
 public:
  CopyPackets(std::int32_t* timeCount, void* timeBuffer, std::int32_t timeCapacity,
              std::int32_t* dataCount, void* dataBuffer, std::int32_t dataCapacity)
      : TimeCount(timeCount), TimeBuffer(timeBuffer), TimeCapacity(timeCapacity),
        DataCount(dataCount), DataBuffer(dataBuffer), DataCapacity(dataCapacity) {}

  // Bytes beyond a capacity are dropped: a count equal to the capacity it
  // was given is the caller's only sign of a possibly truncated reply.
  std::int32_t OnSuccess(TReply& reply) override {
    const std::size_t n = std::min(reply.PayloadSize, std::size_t(DataCapacity));
    const std::string time = reply.Chunk->GetHeaderValue(wire::header::Time);
    const std::size_t m = std::min(time.size(), std::size_t(TimeCapacity));
    CallerOutput out;
    out.Cell(DataCount, std::int32_t(n));
    out.Bytes(DataBuffer, reply.Payload, n);
    out.Cell(TimeCount, std::int32_t(m));
    out.Bytes(TimeBuffer, std::string_view(time).substr(0, m));
    return out.Write() ? ErrorSuccess : ErrorNoAccess;
  }

 private:
  std::int32_t* TimeCount;
  void* TimeBuffer;
  std::int32_t TimeCapacity;
  std::int32_t* DataCount;
  void* DataBuffer;
  std::int32_t DataCapacity;
};

std::int32_t FetchPackets(NDX_HANDLE handle, std::string_view requestTag, std::int32_t* timeCount,
                          void* timeBuffer, std::int32_t* dataCount, void* dataBuffer) {
  const OutputCells cells(timeCount, dataCount);
  return RunOperation(handle, Direction::Input, cells, [&](TVClientSock& h) -> std::int32_t {
    std::int32_t timeCapacity = 0;
    std::int32_t dataCapacity = 0;
    // Unreadable count cells are refused before anything is sent.
    if (!ReadCells(timeCount, timeCapacity, dataCount, dataCapacity)) {
      return cells.Refuse(ErrorNoAccess);
    }
    if (timeCapacity <= 0 || dataCapacity <= 0) return cells.Refuse(ErrorBadLength);
    if (timeBuffer == nullptr || dataBuffer == nullptr) return cells.Refuse(ErrorNoAccess);
    std::string request;
    try {
      request = BuildRequest(requestTag);
    } catch (...) {
      return ErrorInternalError;  // the counts stay as the caller passed them
    }
    CopyPackets action(timeCount, timeBuffer, timeCapacity, dataCount, dataBuffer, dataCapacity);
    return Exchange(h, std::move(request), wire::tag::Data, action, cells);
  });
}

}  // namespace

std::int32_t GetAllPackets(NDX_HANDLE handle, std::int32_t* timeCount, void* timeBuffer,
                           std::int32_t* dataCount, void* dataBuffer) noexcept {
  return FetchPackets(handle, wire::tag::GetAllPackets, timeCount, timeBuffer, dataCount, dataBuffer);
}

std::int32_t GetLatestPacketAndDiscard(NDX_HANDLE handle, std::int32_t* timeCount,
                                       void* timeBuffer, std::int32_t* dataCount,
                                       void* dataBuffer) noexcept {
  return FetchPackets(handle, wire::tag::GetLatestPacket, timeCount, timeBuffer, dataCount, dataBuffer);
}

}  // namespace velmora::device
