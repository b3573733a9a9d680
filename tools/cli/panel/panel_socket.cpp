#include "panel_socket.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace velmora::cli::sock {

#ifdef _WIN32

int LastError() { return WSAGetLastError(); }
bool NotNow(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
bool OutOfDescriptors(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }
bool AddressInUse(int error) { return error == WSAEADDRINUSE; }

std::string ErrorText(int error) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "Winsock error " + std::to_string(error) : s;
}

namespace {

bool NonBlocking(socket_t s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

}  // namespace

socket_t Open(int family, int type, int protocol) {
  const socket_t s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s != INVALID_SOCKET && !NonBlocking(s)) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

void Close(socket_t s) { closesocket(s); }

bool BindAlone(socket_t s, const sockaddr* address, std::size_t length, int backlog) {
  // Winsock's SO_REUSEADDR would let a second listener share the port; the
  // exclusive option refuses it and still binds over TIME_WAIT.
  const BOOL yes = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
  return bind(s, address, static_cast<int>(length)) == 0 && listen(s, backlog) == 0;
}

socket_t Accept(socket_t listener) {
  // An accepted socket takes the listener's non-blocking mode.
  return accept(listener, nullptr, nullptr);
}

long long Send(socket_t s, const char* data, std::size_t size) {
  return send(s, data, static_cast<int>(size), 0);
}

long long Receive(socket_t s, char* data, std::size_t size) { return recv(s, data, static_cast<int>(size), 0); }

void ShutDown(socket_t s) { shutdown(s, SD_BOTH); }

int Poll(pollfd* fds, std::size_t count, int milliseconds) {
  return WSAPoll(fds, static_cast<ULONG>(count), milliseconds);
}

// Winsock polls sockets only: the wake-up is a datagram a loopback socket
// sends to itself.
Waker::Waker() {
  const socket_t s = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    closesocket(s);
    return;
  }
  Read = Write = s;
}

Waker::~Waker() {
  if (Read != INVALID_SOCKET) closesocket(Read);
}

void Waker::Poke() {
  if (Write != INVALID_SOCKET) (void)send(Write, "x", 1, 0);
}

void Waker::Drain() {
  char drain[64];
  while (Read != INVALID_SOCKET && recv(Read, drain, sizeof drain, 0) > 0) {
  }
}

#else

int LastError() { return errno; }
bool NotNow(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }
bool AddressInUse(int error) { return error == EADDRINUSE; }
std::string ErrorText(int error) { return std::strerror(error); }

socket_t Open(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
}

void Close(socket_t s) { ::close(s); }

bool BindAlone(socket_t s, const sockaddr* address, std::size_t length, int backlog) {
  // Without SO_REUSEPORT, a port another socket listens on stays refused.
  const int yes = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  return ::bind(s, address, static_cast<socklen_t>(length)) == 0 && ::listen(s, backlog) == 0;
}

socket_t Accept(socket_t listener) { return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }

long long Send(socket_t s, const char* data, std::size_t size) { return ::send(s, data, size, MSG_NOSIGNAL); }

long long Receive(socket_t s, char* data, std::size_t size) { return ::recv(s, data, size, 0); }

void ShutDown(socket_t s) { ::shutdown(s, SHUT_RDWR); }

int Poll(pollfd* fds, std::size_t count, int milliseconds) {
  return ::poll(fds, static_cast<nfds_t>(count), milliseconds);
}

Waker::Waker() {
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
  Read = ends[0];
  Write = ends[1];
}

Waker::~Waker() {
  if (Read != INVALID_SOCKET) ::close(Read);
  if (Write != INVALID_SOCKET) ::close(Write);
}

void Waker::Poke() {
  if (Write != INVALID_SOCKET) (void)!::write(Write, "x", 1);
}

void Waker::Drain() {
  char drain[64];
  while (Read != INVALID_SOCKET && ::read(Read, drain, sizeof drain) > 0) {
  }
}

#endif

}  // namespace velmora::cli::sock
