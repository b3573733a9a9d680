// The socket calls of the panel's HTTP server, the same on POSIX and on
// Winsock, which names some of them differently, reports errors through
// WSAGetLastError rather than errno, and has no pipes. Every socket made
// here is non-blocking and not inherited by child processes.
#pragma once

#include <httplib.h>  // socket_t, INVALID_SOCKET and the system's socket headers

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstddef>
#include <string>

namespace velmora::cli::sock {

// The failure of the last call on this thread, as the system numbers it.
int LastError();
// Whether it only means "not now" (nothing to read, no room, a signal).
bool NotNow(int error);
bool OutOfDescriptors(int error);
bool AddressInUse(int error);
std::string ErrorText(int error);

socket_t Open(int family, int type, int protocol);
void Close(socket_t s);
// Binds and listens so that a port a socket listens on is refused, never
// shared, while one an earlier panel left in TIME_WAIT is free again.
bool BindAlone(socket_t s, const sockaddr* address, std::size_t length, int backlog);
// INVALID_SOCKET when none waits.
socket_t Accept(socket_t listener);
// What send(2) returns, without a signal for a peer that has gone.
long long Send(socket_t s, const char* data, std::size_t size);
long long Receive(socket_t s, char* data, std::size_t size);
// Ends both directions: a thread blocked on `s` returns.
void ShutDown(socket_t s);
// poll(2): the number ready, 0 on time-out, negative on failure.
int Poll(pollfd* fds, std::size_t count, int milliseconds);

// Wakes a thread that polls ReadEnd() beside its sockets. Poke() may be
// called from any thread; Drain() takes every poke back.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  bool Ready() const { return Read != INVALID_SOCKET; }
  socket_t ReadEnd() const { return Read; }
  void Poke();
  void Drain();

 private:
  socket_t Read = INVALID_SOCKET, Write = INVALID_SOCKET;
};

}  // namespace velmora::cli::sock
