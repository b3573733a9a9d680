// POSIX backend: sockets.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "platform/ipv4_address.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace velmora::platform {

int SocketLibraryStartup() { return 0; }
void SocketLibraryCleanup() {}

Socket SocketCreateTcp() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? InvalidSocket : Socket(fd);
}

std::uint16_t PortToNetwork(std::uint16_t port) { return htons(port); }
std::uint32_t AddressToNetwork(std::uint32_t address) { return htonl(address); }

namespace {

// Waits for a connect that is under way to finish, at most until `deadline`
// (or without a limit when it is null). True when it connected.
bool FinishConnect(int fd, const timespec* deadline) {
  pollfd p{fd, POLLOUT, 0};
  for (;;) {
    int wait = -1;
    if (deadline != nullptr) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long left = (deadline->tv_sec - now.tv_sec) * 1000LL +
                             (deadline->tv_nsec - now.tv_nsec) / 1000000L;
      if (left <= 0) return false;
      wait = left > INT_MAX ? INT_MAX : int(left);
    }
    const int rc = ::poll(&p, 1, wait);
    if (rc > 0) break;
    if (rc == 0) continue;  // the deadline check above ends it
    if (errno != EINTR) return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

}  // namespace

bool SocketConnect(Socket s, std::uint32_t addressNet, std::uint16_t portNet,
                   std::uint32_t timeoutMs) {
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  const int fd = int(s);
  if (timeoutMs == NoTimeLimit) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    // An interrupted connect goes on in the background; wait for its outcome.
    return errno == EINTR && FinishConnect(fd, nullptr);
  }
  const timespec deadline = posix::DeadlineAfter(timeoutMs);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) connected = FinishConnect(fd, &deadline);
  const int saved = errno;
  // Back to blocking for the reader and the writer; a socket that cannot be
  // put back is of no use to them.
  if (::fcntl(fd, F_SETFL, flags) != 0) return false;
  errno = saved;
  return connected;
}

bool SocketSetNoDelay(Socket s) {
  const int on = 1;
  return ::setsockopt(int(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

long SocketSend(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::send(int(s), data, length, MSG_NOSIGNAL);
    if (n >= 0) return long(n);
    if (errno != EINTR) return -1;
  }
}

bool SocketSendNoWaitWorks() { return true; }

long SocketSendNoWait(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::send(int(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

long SocketSendNoWait(Socket s, const void* head, std::size_t headLength, const void* body,
                      std::size_t bodyLength) {
  if (headLength > std::size_t(INT_MAX)) headLength = INT_MAX;
  if (bodyLength > std::size_t(INT_MAX) - headLength) bodyLength = std::size_t(INT_MAX) - headLength;
  iovec pieces[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(body), bodyLength}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = 2;
  for (;;) {
    const ssize_t n = ::sendmsg(int(s), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

long SocketRecv(Socket s, void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  for (;;) {
    const ssize_t n = ::recv(int(s), data, length, 0);
    if (n >= 0) return long(n);
    if (errno != EINTR) return -1;
  }
}

long SocketRecvWithin(Socket s, void* data, std::size_t length, std::uint32_t ms) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  // Without a wait the receive alone answers; with one, a poll first.
  if (ms > 0) {
    const int ready = SocketWaitReadable(s, ms);
    if (ready <= 0) return ready == 0 ? ReceiveNothingYet : -1;
  }
  for (;;) {
    const ssize_t n = ::recv(int(s), data, length, MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveNothingYet;
    if (errno != EINTR) return -1;
  }
}

void SocketShutdownBoth(Socket s) { ::shutdown(int(s), SHUT_RDWR); }

void SocketClose(Socket s) { ::close(int(s)); }

std::uint32_t ParseDottedAddress(const char* text) { return ::inet_addr(text); }

std::uint32_t LookupFirstIPv4(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  std::uint32_t address = 0;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(found);
  return address;
}

Socket SocketListen(std::uint32_t addressNet, std::uint16_t portNet, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return InvalidSocket;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return InvalidSocket;
  }
  return Socket(fd);
}

Socket SocketAccept(Socket listener) {
  for (;;) {
    const int fd = ::accept4(int(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno != EINTR && errno != ECONNABORTED) return InvalidSocket;
  }
}

namespace {

// 1 when one of `events` is ready within `ms`, 0 on time-out, -1 on error.
int WaitFor(Socket s, short events, std::uint32_t ms) {
  pollfd p{int(s), events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, ms > std::uint32_t(INT_MAX) ? INT_MAX : int(ms));
    if (rc >= 0) return rc > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int SocketWaitReadable(Socket s, std::uint32_t ms) { return WaitFor(s, POLLIN, ms); }

int SocketWaitWritable(Socket s, std::uint32_t ms) { return WaitFor(s, POLLOUT, ms); }

int SocketLastError() { return errno; }

}  // namespace velmora::platform
