#include "guarded_http.h"

#include "panel_socket.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace velmora::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A connection, between requests or while a head arrives, or in a worker's hands.
struct Connection {
  socket_t Fd = INVALID_SOCKET;
  std::string Buffer;         // received and not yet handed to the library
  std::size_t Searched = 0;   // how far Buffer has been searched for the head's end
  std::size_t HeadEnd = 0;    // past the head's blank line, once found
  bool HeadStarted = false;
  Clock::time_point Deadline;
  std::uint64_t Since = 0;    // order of arrival, for choosing which to drop

  explicit Connection(socket_t fd) : Fd(fd) {}
  ~Connection() { sock::Close(Fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool FindHeadEnd() {
    const std::size_t from = Searched > 3 ? Searched - 3 : 0;
    Searched = Buffer.size();
    const std::size_t at = Buffer.find("\r\n\r\n", from);
    if (at == std::string::npos) return false;
    HeadEnd = at + 4;
    return true;
  }
};
using ConnectionPtr = std::unique_ptr<Connection>;

bool WaitFor(socket_t fd, short events, std::chrono::milliseconds limit) {
  pollfd p{fd, events, 0};
  int r;
  do r = sock::Poll(&p, 1, static_cast<int>(limit.count()));
  while (r < 0 && sock::NotNow(sock::LastError()));
  return r > 0;
}

// A last word to a connection about to be closed; it may not be heard.
void Refuse(socket_t fd, int status, const char* reason, const char* message) {
  const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                           "\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(std::strlen(message)) + "\r\n\r\n" + message;
  (void)sock::Send(fd, text.data(), text.size());  // non-blocking: never waits
}

std::string AddressText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  else if (a.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
  return text;
}

int AddressPort(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

bool IsLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return (ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr) >> 24) == 127;
  if (a.ss_family != AF_INET6) return false;
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

// One request's bytes as the library reads and writes them. The head is
// already in the buffer; the body is read from the socket up to the limit
// the route allows, each wait bounded.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(Connection& c, const HttpLimits& limits)
      : C(c), Limits(limits), HeadLength(c.HeadEnd), BodyLimit(limits.BodyBytes) {}

  bool is_readable() const override { return Offset < C.Buffer.size() || WaitFor(C.Fd, POLLIN, Limits.IoTime); }
  bool is_writable() const override { return WaitFor(C.Fd, POLLOUT, Limits.IoTime); }

  ssize_t read(char* ptr, size_t size) override {
    if (Offset == C.Buffer.size() && !Refill()) return -1;
    std::size_t n = std::min(size, C.Buffer.size() - Offset);
    const std::size_t allowed = HeadLength + BodyLimit;
    if (Given + n > allowed) {
      n = allowed > Given ? allowed - Given : 0;
      if (n == 0) {
        Cut = true;
        return -1;
      }
    }
    std::memcpy(ptr, C.Buffer.data() + Offset, n);
    Offset += n;
    Given += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!WaitFor(C.Fd, POLLOUT, Limits.IoTime)) return -1;
    const long long n = sock::Send(C.Fd, ptr, size);
    if (n < 0 && sock::NotNow(sock::LastError())) return 0;
    return static_cast<ssize_t>(n);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Name(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Name(::getsockname, ip, port); }
  socket_t socket() const override { return C.Fd; }

  // What the head says of the body. A request with neither length nor
  // chunks has no body: it is not read until the connection ends.
  void Declared(httplib::Request& req) {
    Chunked = req.has_header("Transfer-Encoding");
    if (!Chunked && !req.has_header("Content-Length")) req.set_header("Content-Length", "0");
    const std::string length = req.get_header_value("Content-Length");
    char* end = nullptr;
    DeclaredLength = std::strtoull(length.c_str(), &end, 10);
    if (length.empty() || *end != '\0' || length[0] == '-') Chunked = true;  // unknown: treated as unbounded
  }

  // Whether the connection is at the next request's first byte: the body
  // was read exactly, not refused or cut.
  bool AtNextRequest() const { return !Chunked && !Cut && Given == HeadLength + DeclaredLength; }
  void KeepRest() {
    C.Buffer.erase(0, Offset);
    C.Searched = 0;
    C.HeadEnd = 0;
  }

  void LimitBody(std::size_t bytes) { BodyLimit = bytes; }
  bool WasCut() const { return Cut; }

 private:
  bool Refill() {
    C.Buffer.clear();
    Offset = 0;
    if (!WaitFor(C.Fd, POLLIN, Limits.IoTime)) return false;
    C.Buffer.resize(16 << 10);
    const long long n = sock::Receive(C.Fd, C.Buffer.data(), C.Buffer.size());
    C.Buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return n > 0;
  }

  template <typename Call>
  void Name(Call call, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    if (call(C.Fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return;
    ip = AddressText(a);
    port = AddressPort(a);
  }

  Connection& C;
  const HttpLimits& Limits;
  std::size_t Offset = 0, Given = 0;
  const std::size_t HeadLength;
  std::size_t BodyLimit;
  std::uint64_t DeclaredLength = 0;
  bool Chunked = false, Cut = false;
};

thread_local ConnectionStream* Current = nullptr;

}  // namespace

struct GuardedHttp::Impl {
  GuardedHttp& Owner;
  const HttpLimits Limits;
  socket_t Listener = INVALID_SOCKET;
  sock::Waker Wake;
  sockaddr_storage Bound{};
  std::atomic<bool> Stopping{false};

  std::mutex M;  // guards the four below
  std::condition_variable Ready;
  std::deque<ConnectionPtr> Queue;     // heads complete, for the workers
  std::vector<ConnectionPtr> Returned;  // answered and kept alive, for the poller
  std::set<socket_t> Answering;
  bool Quit = false;
  std::atomic<std::size_t> Busy{0};  // queued, answering or returned

  Impl(GuardedHttp& owner, HttpLimits limits) : Owner(owner), Limits(limits) {}
  ~Impl() {
    if (Listener != INVALID_SOCKET) sock::Close(Listener);
  }

  void Poke() { Wake.Poke(); }

  // Answers one request; true when the connection goes on to the next.
  bool Answer(Connection& c) {
    ConnectionStream stream(c, Limits);
    Current = &stream;
    bool closed = false;
    const bool written = Owner.process_request(stream, Stopping, closed,
                                               [&stream](httplib::Request& req) { stream.Declared(req); });
    Current = nullptr;
    if (!written || closed || Stopping || !stream.AtNextRequest()) return false;
    stream.KeepRest();
    return true;
  }

  void Work() {
    for (;;) {
      ConnectionPtr c;
      {
        std::unique_lock<std::mutex> lock(M);
        Ready.wait(lock, [this] { return Quit || !Queue.empty(); });
        if (Quit) return;
        c = std::move(Queue.front());
        Queue.pop_front();
        Answering.insert(c->Fd);
      }
      const bool keep = Answer(*c);
      std::lock_guard<std::mutex> lock(M);
      Answering.erase(c->Fd);
      if (keep && !Quit) {
        Returned.push_back(std::move(c));
        Poke();
      } else {
        c.reset();
        --Busy;
      }
    }
  }

  void Dispatch(ConnectionPtr c) {
    ++Busy;
    {
      std::lock_guard<std::mutex> lock(M);
      Queue.push_back(std::move(c));
    }
    Ready.notify_one();
  }

  // Reads what has come of a head; false when the connection is done with.
  bool ReadHead(Connection& c) {
    const std::size_t room = Limits.HeadBytes + 1 - std::min(c.Buffer.size(), Limits.HeadBytes);
    const std::size_t had = c.Buffer.size();
    c.Buffer.resize(had + room);
    const long long n = sock::Receive(c.Fd, c.Buffer.data() + had, room);
    c.Buffer.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0 && sock::NotNow(sock::LastError())) return true;
    if (n <= 0) return false;
    if (!c.HeadStarted) {
      c.HeadStarted = true;
      c.Deadline = Clock::now() + Limits.HeadTime;
    }
    return true;
  }

  // Where a connection the poller holds goes next: to a worker (true), on
  // waiting (false), or closed (c reset).
  bool Route(ConnectionPtr& c) {
    if (c->FindHeadEnd()) return true;
    if (c->Buffer.size() > Limits.HeadBytes) {
      Refuse(c->Fd, 431, "Request Header Fields Too Large", "request head too large\n");
      c.reset();
    }
    return false;
  }

  // The connection that has waited longest without a complete head goes,
  // so that a flood cannot keep a newcomer out; false when none waits.
  static bool DropOldest(std::vector<ConnectionPtr>& waiting) {
    if (waiting.empty()) return false;
    waiting.erase(std::min_element(waiting.begin(), waiting.end(),
                                   [](const ConnectionPtr& a, const ConnectionPtr& b) { return a->Since < b->Since; }));
    return true;
  }

  void Accept(std::vector<ConnectionPtr>& waiting, std::uint64_t& serial) {
    for (int round = 0; round < 64; ++round) {
      const socket_t fd = sock::Accept(Listener);
      if (fd == INVALID_SOCKET) {
        // Out of descriptors, the listener stays ready: make room, or pause
        // rather than spin.
        if (sock::OutOfDescriptors(sock::LastError()) && !DropOldest(waiting))
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return;
      }
      const int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
      while (waiting.size() + Busy >= Limits.Connections && DropOldest(waiting)) {
      }
      auto c = std::make_unique<Connection>(fd);
      if (waiting.size() + Busy >= Limits.Connections) {
        Refuse(fd, 503, "Service Unavailable", "too many connections being answered\n");
        continue;
      }
      c->Since = ++serial;
      c->Deadline = Clock::now() + Limits.IdleTime;
      waiting.push_back(std::move(c));
    }
  }

  void Serve() {
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < Limits.Workers; ++i) workers.emplace_back([this] { Work(); });
    std::vector<ConnectionPtr> waiting;
    std::uint64_t serial = 0;
    std::vector<pollfd> polled;
    while (!Stopping) {
      {
        std::lock_guard<std::mutex> lock(M);
        for (auto& c : Returned) {
          --Busy;
          c->Since = ++serial;
          c->HeadStarted = !c->Buffer.empty();
          c->Deadline = Clock::now() + (c->HeadStarted ? Limits.HeadTime : Limits.IdleTime);
          waiting.push_back(std::move(c));
        }
        Returned.clear();
      }
      auto now = Clock::now();
      auto next = now + std::chrono::seconds(1);
      polled.assign({{Wake.ReadEnd(), POLLIN, 0}, {Listener, POLLIN, 0}});
      for (const auto& c : waiting) {
        polled.push_back({c->Fd, POLLIN, 0});
        next = std::min(next, c->Deadline);
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      if (sock::Poll(polled.data(), polled.size(), static_cast<int>(std::max<long long>(0, wait) + 1)) < 0 &&
          !sock::NotNow(sock::LastError()))
        break;
      Wake.Drain();
      now = Clock::now();
      // Connections returned with a head already buffered are not in polled.
      for (std::size_t i = 0; i < waiting.size(); ++i) {
        ConnectionPtr& c = waiting[i];
        const short events = i + 2 < polled.size() && polled[i + 2].fd == c->Fd ? polled[i + 2].revents : 0;
        if (events && !ReadHead(*c)) {
          c.reset();
        } else if (Route(c)) {
          Dispatch(std::move(c));
        } else if (c && c->Deadline <= now) {
          if (c->HeadStarted) Refuse(c->Fd, 408, "Request Timeout", "request head too slow\n");
          c.reset();
        }
      }
      waiting.erase(std::remove(waiting.begin(), waiting.end(), nullptr), waiting.end());
      if (polled[1].revents & POLLIN) Accept(waiting, serial);
    }
    waiting.clear();
    {
      std::lock_guard<std::mutex> lock(M);
      Quit = true;
      Queue.clear();
      Returned.clear();
      // Answers under way end at their next read or write.
      for (socket_t fd : Answering) sock::ShutDown(fd);
    }
    Ready.notify_all();
    for (auto& w : workers) w.join();
  }
};

GuardedHttp::GuardedHttp(HttpLimits limits) : P(std::make_unique<Impl>(*this, limits)) {}

GuardedHttp::~GuardedHttp() = default;

std::string GuardedHttp::Bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int e = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); e != 0)
    return std::string("cannot resolve ") + host + ": " + ::gai_strerror(e);
  std::string why = "no address";
  for (addrinfo* a = found; a && P->Listener == INVALID_SOCKET; a = a->ai_next) {
    const socket_t fd = sock::Open(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd == INVALID_SOCKET) continue;
    if (sock::BindAlone(fd, a->ai_addr, a->ai_addrlen, 64)) {
      P->Listener = fd;
      break;
    }
    const int e = sock::LastError();
    why = sock::AddressInUse(e) ? "port " + std::to_string(port) + " is in use" : sock::ErrorText(e);
    sock::Close(fd);
  }
  ::freeaddrinfo(found);
  if (P->Listener == INVALID_SOCKET) return why;
  socklen_t length = sizeof P->Bound;
  ::getsockname(P->Listener, reinterpret_cast<sockaddr*>(&P->Bound), &length);
  // The library's event streams run while this is a socket.
  svr_sock_ = P->Listener;
  return "";
}

int GuardedHttp::BoundPort() const { return AddressPort(P->Bound); }

bool GuardedHttp::BoundLoopback() const { return IsLoopback(P->Bound); }

void GuardedHttp::Serve() {
  if (P->Listener != INVALID_SOCKET && P->Wake.Ready()) P->Serve();
}

void GuardedHttp::Stop() {
  P->Stopping = true;
  svr_sock_ = INVALID_SOCKET;
  P->Poke();
}

void GuardedHttp::LimitBody(std::size_t bytes) {
  if (Current) Current->LimitBody(bytes);
}

bool GuardedHttp::BodyCut() { return Current && Current->WasCut(); }

}  // namespace velmora::cli
