#include "panel_server.h"

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "output/json.h"
#include "guarded_http.h"
#include "panel_files.h"
#include "panel_view_routes.h"

namespace velmora::cli {

namespace {

// How often the live stream sends the latest samples.
constexpr auto LiveInterval = std::chrono::milliseconds(50);
// Live streams at once: each holds a worker of the server's while it runs,
// and the others must stay free for the page's requests.
constexpr int MaxLiveStreams = 8;
constexpr std::size_t MaxBlock = static_cast<std::size_t>(PanelDevice::MaxBlockBytes);

HttpLimits PanelLimits() {
  HttpLimits limits;
  limits.Workers = 2 * MaxLiveStreams;
  return limits;
}

void SendText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain");
}

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

// The settings a request names; "" or why not. The body is parsed into
// sorted keys first, as an object that keeps its keys' order looks each new
// key up among all before it; only the few keys the device takes go on.
std::string WantedSettings(const std::string& body, Json& wanted) {
  const nlohmann::json given = nlohmann::json::parse(body, nullptr, false);
  if (!given.is_object()) return "settings must be a JSON object";
  wanted = Json::object();
  for (const char* key : {"frequency_hz", "packet_bits", "block_bytes", "azero"})
    if (given.contains(key)) wanted[key] = given[key];
  if (given.contains("lines")) {
    if (given["lines"].is_object() && given["lines"].size() > 32) return "lines names at most 32 lines";
    wanted["lines"] = given["lines"];
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
  GuardedHttp Http{PanelLimits()};
  std::atomic<bool> Stopping{false};
  std::atomic<int> LiveStreams{0};

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
    if (!given.empty()) return SameSecret(given, Token) ? "" : "wrong token";
    // The browser sends the cookie from every port of this host, other
    // sites' pages included; alone it speaks only for this page's own
    // requests and for what the user opens by hand.
    if (!SameSecret(CookieValue(req.get_header_value("Cookie"), CookieName()), Token)) return "missing or wrong token";
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (site != "same-origin" && site != "none") return "the cookie alone does not come from this page";
    return "";
  }

  // Refuses a request before its body is read, with 403 or 413 into res.
  bool Refused(const httplib::Request& req, httplib::Response& res) const {
    const std::string why = Refusal(req);
    if (!why.empty()) {
      SendText(res, 403, "403 forbidden: " + why + "\n");
      return true;
    }
    // A block, as sent: chunk framing may add to it; the handler counts the block itself.
    const std::size_t limit = req.path == "/api/write" ? 2 * MaxBlock : HttpLimits().BodyBytes;
    GuardedHttp::LimitBody(limit);
    const std::size_t most = std::min(limit, MaxBlock);
    if (req.get_header_value<std::uint64_t>("Content-Length") <= most) return false;
    SendText(res, 413, "413 payload too large: at most " + std::to_string(most) + " bytes\n");
    return true;
  }

  void Routes() {
    Http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return Refused(req, res) ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
    });
    // A client that waits for leave to send its body learns at once that it is refused.
    Http.set_expect_100_continue_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return Refused(req, res) ? res.status : 100; });
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
      Json wanted;
      const std::string why = WantedSettings(req.body, wanted);
      if (!why.empty()) {
        res.status = 400;
        res.set_content(Json{{"ok", false}, {"error", {{"message", why}}}}.dump(), "application/json");
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
    Http.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& read) {
      std::string block;
      // Address space only: pages are taken as the block arrives.
      block.reserve(req.has_header("Transfer-Encoding") ? MaxBlock
                                                        : std::min<std::size_t>(MaxBlock, req.get_header_value<std::uint64_t>("Content-Length")));
      bool over = false;
      const bool whole = read([&](const char* data, std::size_t size) {
        over = block.size() + size > MaxBlock;
        if (!over) block.append(data, size);
        return !over;
      });
      if (over || GuardedHttp::BodyCut())
        return SendText(res, 413, "413 payload too large: a block is at most " + std::to_string(MaxBlock) + " bytes\n");
      if (!whole) return SendText(res, 400, "400 bad request: the block did not arrive whole\n");
      SendJson(res, Device.WriteBlock(block));
    });
    Http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
      int columns = 800;
      if (req.has_param("columns")) columns = std::atoi(req.get_param_value("columns").c_str());
      // 0 columns: the figures alone, for a page whose plot holds still.
      columns = columns == 0 ? 0 : std::clamp(columns, 16, 4096);
      std::uint64_t span = 0;  // samples; 0: two seconds' worth
      if (req.has_param("span")) span = std::strtoull(req.get_param_value("span").c_str(), nullptr, 10);
      if (++LiveStreams > MaxLiveStreams) {
        --LiveStreams;
        return SendText(res, 503, "503 busy: at most " + std::to_string(MaxLiveStreams) +
                                      " live streams at once; close another panel page\n");
      }
      // Counted until the stream's provider is let go, however it ends.
      std::shared_ptr<void> counted(nullptr, [this](void*) { --LiveStreams; });
      res.set_header("X-Accel-Buffering", "no");
      res.set_chunked_content_provider("text/event-stream", [this, columns, span, counted](std::size_t, httplib::DataSink& sink) {
        if (Stopping) return false;
        const std::string event = "data: " + Device.Live(columns, span).dump() + "\n\n";
        if (!sink.write(event.data(), event.size())) return false;
        std::this_thread::sleep_for(LiveInterval);
        return !Stopping.load();
      });
    });
    AddViewRoutes(Http, Device);
    Http.set_payload_max_length(MaxBlock);
  }
};

PanelServer::PanelServer(PanelDevice& device, PanelAddress listen, std::string token)
    : P(std::make_unique<Impl>(device, std::move(listen), std::move(token))) {}

PanelServer::~PanelServer() = default;

std::string PanelServer::Bind() {
  const std::string why = P->Http.Bind(P->Listen.Host, P->Listen.Port);
  if (!why.empty()) return why;
  P->Listen.Port = P->Http.BoundPort();
  P->Routes();
  return "";
}

int PanelServer::Port() const { return P->Listen.Port; }

bool PanelServer::Loopback() const { return P->Http.BoundLoopback(); }

void PanelServer::Serve() { P->Http.Serve(); }

void PanelServer::Stop() {
  P->Stopping = true;
  P->Http.Stop();
}

}  // namespace velmora::cli
