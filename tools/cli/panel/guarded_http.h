// An HTTP server whose connections cannot be held hostage. One thread
// accepts and reads every request head into a bounded buffer against a
// deadline; only a complete head reaches one of a fixed number of workers,
// which answer it through the library's request handling. Slow or endless
// heads, idle kept-alive connections and floods of connections therefore
// cost a buffer each and never a worker, and a body is read only up to the
// limit the route sets.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace velmora::cli {

struct HttpLimits {
  std::size_t Workers = 16;
  std::size_t Connections = 256;  // at once; beyond, the oldest one not being answered goes
  std::size_t HeadBytes = 32 << 10;
  std::size_t BodyBytes = 1 << 20;  // as sent, framing included, unless the route raises it
  std::chrono::milliseconds HeadTime{3000};  // from a head's first byte to its end
  std::chrono::milliseconds IdleTime{5000};  // a connection waiting for its next request
  std::chrono::milliseconds IoTime{5000};    // each read or write once a worker answers
};

class GuardedHttp : public httplib::Server {
 public:
  explicit GuardedHttp(HttpLimits limits = {});
  ~GuardedHttp() override;

  // Binds host:port (0: any free port) and listens, alone: a port another
  // listener holds is refused, never shared. "" or why not.
  std::string Bind(const std::string& host, int port);
  int BoundPort() const;
  // Whether the bound address is this computer's loopback.
  bool BoundLoopback() const;
  // Serves until Stop(), which any thread may call.
  void Serve();
  void Stop();

  // For route handlers, about the request the calling worker answers:
  // its body may be this long as sent (framing included)...
  static void LimitBody(std::size_t bytes);
  // ...and was cut there.
  static bool BodyCut();

 private:
  struct Impl;
  std::unique_ptr<Impl> P;
};

}  // namespace velmora::cli
