#include "panel_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "panel_files.h"
#include "panel_view_routes.h"

namespace velmora::cli {

namespace {

// How often the live stream sends the latest samples.
constexpr auto LiveInterval = std::chrono::milliseconds(50);

bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
  std::size_t at = 0;
  while (at < cookies.size()) {
    std::size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string item = cookies.substr(at, end - at);
    const std::size_t lead = item.find_first_not_of(' ');
    item = lead == std::string::npos ? "" : item.substr(lead);
    if (item.compare(0, name.size() + 1, name + "=") == 0) return item.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

void SendJson(httplib::Response& res, const Json& body) {
  res.set_content(body.dump(), "application/json");
  if (body.contains("ok") && body["ok"] == false) res.status = 502;
}

}  // namespace

std::string NewPanelToken() {
  std::random_device source;
  static const char digits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token += digits[source() % 16];
  return token;
}

bool ParsePanelAddress(const std::string& text, PanelAddress& out) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const int number = std::stoi(port);
  if (number > 65535 || host.empty()) return false;
  out.Host = host;
  out.Port = number;
  return true;
}

struct PanelServer::Impl {
  PanelDevice& Device;
  PanelAddress Listen;
  std::string Token;
  httplib::Server Http;
  std::atomic<bool> Stopping{false};

  Impl(PanelDevice& device, PanelAddress listen, std::string token)
      : Device(device), Listen(std::move(listen)), Token(std::move(token)) {}

  std::string CookieName() const { return "velmora_panel_" + std::to_string(Listen.Port); }

  // The names this server answers to, with its port.
  std::set<std::string> Hosts() const {
    const std::string port = ":" + std::to_string(Listen.Port);
    const bool v6 = Listen.Host.find(':') != std::string::npos;
    return {"127.0.0.1" + port, "localhost" + port, "[::1]" + port,
            (v6 ? "[" + Listen.Host + "]" : Listen.Host) + port};
  }

  // Why a request is refused, or "" to let it through.
  std::string Refusal(const httplib::Request& req) const {
    const std::set<std::string> hosts = Hosts();
    if (!hosts.count(req.get_header_value("Host"))) return "unknown Host";
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      if (origin.compare(0, 7, "http://") != 0 || !hosts.count(origin.substr(7))) return "foreign Origin";
    }
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return "cross-site request";
    std::string given = req.get_param_value("token");
    if (given.empty()) given = req.get_header_value("X-Velmora-Token");
    if (given.empty()) given = CookieValue(req.get_header_value("Cookie"), CookieName());
    if (!SameSecret(given, Token)) return "missing or wrong token";
    return "";
  }

  void Routes() {
    Http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      const std::string why = Refusal(req);
      if (why.empty()) return httplib::Server::HandlerResponse::Unhandled;
      res.status = 403;
      res.set_content("403 forbidden: " + why + "\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    });
    Http.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("X-Content-Type-Options", "nosniff");
    });
    for (std::size_t i = 0; i < PanelFileCount; ++i) {
      const PanelFile& file = PanelFiles[i];
      const std::string path = std::string("/") + (std::string(file.Name) == "index.html" ? "" : file.Name);
      Http.Get(path, [this, &file](const httplib::Request& req, httplib::Response& res) {
        res.set_content(reinterpret_cast<const char*>(file.Data), file.Size, file.Type);
        // The page's own requests then carry the token without showing it.
        if (req.has_param("token"))
          res.set_header("Set-Cookie", CookieName() + "=" + Token + "; Path=/; HttpOnly; SameSite=Strict");
      });
    }
    Http.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Device.State()); });
    Http.Post("/api/settings", [this](const httplib::Request& req, httplib::Response& res) {
      const Json wanted = Json::parse(req.body, nullptr, false);
      if (!wanted.is_object()) {
        res.status = 400;
        res.set_content("{\"ok\":false,\"error\":{\"message\":\"settings must be a JSON object\"}}", "application/json");
        return;
      }
      SendJson(res, Device.Configure(wanted));
    });
    Http.Post("/api/start", [this](const httplib::Request& req, httplib::Response& res) {
      SendJson(res, Device.Start(req.get_param_value("clear") == "1"));
    });
    Http.Post("/api/stop", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Device.Stop()); });
    Http.Post("/api/ping", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Device.Ping()); });
    Http.Post("/api/reconnect", [this](const httplib::Request&, httplib::Response& res) {
      SendJson(res, Device.Reconnect());
    });
    Http.Get("/api/read", [this](const httplib::Request& req, httplib::Response& res) {
      std::int64_t bytes = 1 << 20;
      if (req.has_param("bytes")) bytes = std::strtoll(req.get_param_value("bytes").c_str(), nullptr, 10);
      if (bytes < 1 || bytes > PanelDevice::MaxBlockBytes) {
        res.status = 400;
        res.set_content("{\"ok\":false,\"error\":{\"message\":\"bytes must be 1 to 64M\"}}", "application/json");
        return;
      }
      std::string data;
      const Json answer = Device.ReadBlock(bytes, data);
      if (answer["ok"] != true) return SendJson(res, answer);
      res.set_header("Content-Disposition", "attachment; filename=\"velmora-block.bin\"");
      res.set_content(data, "application/octet-stream");
    });
    Http.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) {
      SendJson(res, Device.WriteBlock(req.body));
    });
    Http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
      int columns = 800;
      if (req.has_param("columns")) columns = std::atoi(req.get_param_value("columns").c_str());
      // 0 columns: the figures alone, for a page whose plot holds still.
      columns = columns == 0 ? 0 : std::clamp(columns, 16, 4096);
      std::uint64_t span = 0;  // samples; 0: two seconds' worth
      if (req.has_param("span")) span = std::strtoull(req.get_param_value("span").c_str(), nullptr, 10);
      res.set_header("X-Accel-Buffering", "no");
      res.set_chunked_content_provider("text/event-stream", [this, columns, span](std::size_t, httplib::DataSink& sink) {
        if (Stopping) return false;
        const std::string event = "data: " + Device.Live(columns, span).dump() + "\n\n";
        if (!sink.write(event.data(), event.size())) return false;
        std::this_thread::sleep_for(LiveInterval);
        return !Stopping.load();
      });
    });
    AddViewRoutes(Http, Device);
    Http.set_payload_max_length(static_cast<std::size_t>(PanelDevice::MaxBlockBytes));
  }
};

PanelServer::PanelServer(PanelDevice& device, PanelAddress listen, std::string token)
    : P(std::make_unique<Impl>(device, std::move(listen), std::move(token))) {}

PanelServer::~PanelServer() = default;

bool PanelServer::Bind() {
  if (P->Listen.Port == 0) {
    const int port = P->Http.bind_to_any_port(P->Listen.Host);
    if (port <= 0) return false;
    P->Listen.Port = port;
  } else if (!P->Http.bind_to_port(P->Listen.Host, P->Listen.Port)) {
    return false;
  }
  P->Routes();
  return true;
}

int PanelServer::Port() const { return P->Listen.Port; }

void PanelServer::Serve() { P->Http.listen_after_bind(); }

void PanelServer::Stop() {
  P->Stopping = true;
  P->Http.stop();
}

}  // namespace velmora::cli
