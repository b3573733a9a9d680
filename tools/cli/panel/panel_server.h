// The panel's HTTP side: the page's files, the requests it makes, and the
// live stream (server-sent events). Every request must carry the token and
// name this server in Host (a page elsewhere that resolves its own name to
// this address gets 403) and, when it says where it comes from, an Origin
// of this server (another site's script gets 403). The token cookie alone
// counts only for the page's own requests: the browser sends it from every
// port of this host.
#pragma once

#include <memory>
#include <string>

#include "panel_device.h"

namespace velmora::cli {

struct PanelAddress {
  std::string Host = "127.0.0.1";
  int Port = 0;  // 0: any free port
};

class PanelServer {
 public:
  PanelServer(PanelDevice& device, PanelAddress listen, std::string token);
  ~PanelServer();
  // Binds, alone on its port; "" or why not. Port() is then known.
  std::string Bind();
  int Port() const;
  // Whether the address bound is this computer's loopback, whatever its name.
  bool Loopback() const;
  // Serves until Stop(), from any thread.
  void Serve();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> P;
};

// 32 hexadecimal digits from the system's random source.
std::string NewPanelToken();
// "127.0.0.1:8080", "[::1]:8080" into host and port; false when malformed.
bool ParsePanelAddress(const std::string& text, PanelAddress& out);

}  // namespace velmora::cli
