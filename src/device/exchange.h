// The request/reply exchange shared by the four operations that wait for an
// answer, and its "RETRY" resynchronisation.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/caller_memory.h"
#include "device/device_handle.h"
#include "device/reply_stream.h"
#include "diff/diff_chunk.h"
#include "velmora.h"

namespace velmora::device {

// What an operation does with its success reply; returns 0, or 998 when the
// caller's memory could not be written.
class SuccessAction {
 public:
  virtual ~SuccessAction() = default;
  virtual std::int32_t OnSuccess(TReply& reply) = 0;
};

// Queues `request` and waits for exactly one reply chunk: the success tag
// runs `action` (0), "NOWRK" gives 58 and sets the thread's last-error value
// to its "Status", "IOERR" 66, a parse failure 30, no block within a whole
// TimeoutMs 1460; one unexpected tag sends "RETRY" and waits again, a second
// gives 13 and empties the handle's reply stream. Output cells are cleared
// on failure.
std::int32_t Exchange(TVClientSock& h, std::string request, std::string_view successTag,
                      SuccessAction& action, const OutputCells& cells);

// How a request goes out when it is not one string; returns 0, or the
// result that ends the call.
class RequestSender {
 public:
  virtual ~RequestSender() = default;
  virtual std::int32_t Send(TVClientSock& h) = 0;
};

// The same for a request that `sender` puts out itself, at the point where
// Exchange queues its string; a nonzero result of the sender ends the call
// with that result (cells cleared) before any wait.
std::int32_t ExchangeSent(TVClientSock& h, RequestSender& sender, std::string_view successTag,
                          SuccessAction& action, const OutputCells& cells);

// Empties the reply stream, discards what arrives over four time slices, and
// queues one "RETRY" chunk. Does not wait for an answer.
void Resync(TVClientSock& h);

// The direction an operation requires of its handle.
enum class Direction { Any, Input, Output };

// The steps every operation shares around its own work: the library and
// handle locks, the handle check (20), the direction (1349) and the
// connection (2250), in that order, clearing `cells` on each failure. A
// handle inherited through fork() gives 2250 straight after the handle check.
// `work` runs with both locks held and returns the result; memory running
// out inside it gives 8 with the cells cleared. A wait that timed out
// because the link went down reports the link (2250).
template <class Work>
std::int32_t RunOperation(NDX_HANDLE handle, Direction direction, const OutputCells& cells,
                          Work&& work) noexcept {
  const auto entered = std::chrono::steady_clock::now();
  LibraryLock library;
  if (!library.Held || CheckHandle(handle) != ErrorSuccess) return cells.Refuse(ErrorBadUnit);
  TVClientSock& h = *static_cast<TVClientSock*>(handle);
  if (Inherited(h)) return cells.Refuse(ErrorNotConnected);
  platform::MutexLock lock(h.HandleMutex);  // after LibraryMutex
  if (direction != Direction::Any && h.IsInput != (direction == Direction::Input)) {
    return cells.Refuse(ErrorBadTokenType);
  }
  if (!h.Sock->Connected) return cells.Refuse(ErrorNotConnected);
  h.CallEntered = entered;
  std::int32_t result;
  try {
    result = work(h);
  } catch (...) {
    cells.Clear();
    return ErrorNotEnoughMemory;
  }
  if (result == ErrorTimeout && !h.Sock->Connected) result = ErrorNotConnected;
  return result;
}

// Serializes a request chunk with one optional header and payload. Throws on
// failure; callers map that to 1359.
std::string BuildRequest(std::string_view tag, std::string_view headerName = {},
                         std::string headerValue = {}, bool withHeader = false,
                         std::string payload = {});

}  // namespace velmora::device
