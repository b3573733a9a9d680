#include "platform/platform.h"

namespace velmora::platform {

bool SocketSendAll(Socket s, const void* data, std::size_t length) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const long n = SocketSend(s, next, length);
    // 0 is no progress, not a retry: a blocking send that takes nothing has
    // nothing more to give.
    if (n <= 0) return false;
    next += n;
    length -= std::size_t(n);
  }
  return true;
}

}  // namespace velmora::platform
