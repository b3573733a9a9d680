// Win32 backend: Windows Sockets 2.
#include <climits>
#include <cstring>

#include "platform/ipv4_address.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

namespace velmora::platform {

namespace {

WSADATA SocketLibraryData;

// The host may start child processes that inherit its handles; a socket
// leaked into a child would keep the device connection open after we close
// it. Best effort: some layered providers refuse, and nothing else depends
// on it.
void KeepFromChildren(SOCKET s) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// CancelIoEx is looked up rather than imported so that the library still
// loads on systems that predate it; there shutdown alone has to do.
using CancelIoExFunction = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

CancelIoExFunction FindCancelIoEx() {
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<CancelIoExFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "CancelIoEx")));
}

}  // namespace

int SocketLibraryStartup() { return ::WSAStartup(0x0002, &SocketLibraryData); }

void SocketLibraryCleanup() { ::WSACleanup(); }

Socket SocketCreateTcp() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return InvalidSocket;
  KeepFromChildren(s);
  return Socket(s);
}

std::uint16_t PortToNetwork(std::uint16_t port) { return htons(port); }
std::uint32_t AddressToNetwork(std::uint32_t address) { return htonl(address); }

namespace {

// Switches a socket between blocking and non-blocking mode.
bool SetNonBlocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Waits at most `ms` for a connect under way to finish; true when connected.
// A refused attempt shows in the exception set, a completed one as writable.
bool FinishConnect(SOCKET s, std::uint32_t ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  if (::select(0, nullptr, &writable, &failed, &limit) <= 0) return false;
  if (FD_ISSET(s, &failed)) return false;
  int err = 0;
  int len = sizeof err;
  return ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
         err == 0;
}

}  // namespace

bool SocketConnect(Socket s, std::uint32_t addressNet, std::uint16_t portNet,
                   std::uint32_t timeoutMs) {
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  if (timeoutMs == NoTimeLimit) return ::connect(SOCKET(s), to, sizeof address) == 0;
  if (!SetNonBlocking(SOCKET(s), true)) return false;
  bool connected = ::connect(SOCKET(s), to, sizeof address) == 0;
  if (!connected && ::WSAGetLastError() == WSAEWOULDBLOCK) {
    connected = FinishConnect(SOCKET(s), timeoutMs);
  }
  const int saved = ::WSAGetLastError();
  // Back to blocking for the reader and the writer; a socket that cannot be
  // put back is of no use to them.
  if (!SetNonBlocking(SOCKET(s), false)) return false;
  ::WSASetLastError(saved);
  return connected;
}

bool SocketSetNoDelay(Socket s) {
  const BOOL on = TRUE;
  return ::setsockopt(SOCKET(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

long SocketSend(Socket s, const void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  const int n = ::send(SOCKET(s), static_cast<const char*>(data), int(length), 0);
  return n == SOCKET_ERROR ? -1 : long(n);
}

bool SocketSendNoWaitWorks() { return false; }

long SocketSendNoWait(Socket, const void*, std::size_t) {
  // Winsock has no per-call flag for this on a blocking socket, and switching
  // the socket to non-blocking mode would race the reader's pending receive.
  return 0;
}

long SocketSendNoWait(Socket, const void*, std::size_t, const void*, std::size_t) {
  return 0;  // as above
}

long SocketRecv(Socket s, void* data, std::size_t length) {
  if (length > std::size_t(INT_MAX)) length = INT_MAX;
  const int n = ::recv(SOCKET(s), static_cast<char*>(data), int(length), 0);
  return n == SOCKET_ERROR ? -1 : long(n);
}

long SocketRecvWithin(Socket s, void* data, std::size_t length, std::uint32_t ms) {
  // No per-call non-blocking receive here either (see SocketSendNoWait): the
  // socket is asked first, and only this thread receives, so the receive
  // that follows a ready answer does not wait. It runs on the host's
  // calling thread, whose last-error value the library leaves alone.
  const win32::KeepLastError keep;
  const int ready = SocketWaitReadable(s, ms);
  if (ready <= 0) return ready == 0 ? ReceiveNothingYet : -1;
  return SocketRecv(s, data, length);
}

void SocketShutdownBoth(Socket s) {
  ::shutdown(SOCKET(s), SD_BOTH);
  // Windows does not end a receive (or accept) that is already blocked when
  // the socket is shut down; it waits for the peer. Cancelling the handle's
  // pending I/O makes those calls fail now, as the contract promises. The
  // socket's own last error is kept for the caller's diagnostics.
  static const CancelIoExFunction cancelIo = FindCancelIoEx();
  if (cancelIo != nullptr) {
    const int saved = ::WSAGetLastError();
    cancelIo(reinterpret_cast<HANDLE>(SOCKET(s)), nullptr);
    ::WSASetLastError(saved);
  }
}

void SocketClose(Socket s) { ::closesocket(SOCKET(s)); }

std::uint32_t ParseDottedAddress(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return ::inet_addr(text);
}

std::uint32_t LookupFirstIPv4(const char* name) {
  if (name == nullptr) return 0;
  // The result lives in per-thread storage of the socket library, so no
  // lock is needed; it stays valid until this thread's next lookup.
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return 0;
  }
  std::uint32_t address = 0;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  return address;
}

Socket SocketListen(std::uint32_t addressNet, std::uint16_t portNet, int backlog) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return InvalidSocket;
  KeepFromChildren(s);
  const BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  const sockaddr_in address = Ipv4SocketAddress(addressNet, portNet);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, backlog) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(saved);
    return InvalidSocket;
  }
  return Socket(s);
}

Socket SocketAccept(Socket listener) {
  for (;;) {
    const SOCKET s = ::accept(SOCKET(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      KeepFromChildren(s);
      return Socket(s);
    }
    // A client that gave up between its connect and our accept is not a
    // failure of the listener.
    if (::WSAGetLastError() != WSAECONNRESET) return InvalidSocket;
  }
}

int SocketWaitReadable(Socket s, std::uint32_t ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(SOCKET(s), &readable);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

int SocketWaitWritable(Socket s, std::uint32_t ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(SOCKET(s), &writable);
  FD_SET(SOCKET(s), &failed);
  timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  const int rc = ::select(0, nullptr, &writable, &failed, &limit);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

int SocketLastError() { return ::WSAGetLastError(); }

}  // namespace velmora::platform
