#include "panel_view_routes.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>

namespace velmora::cli {

namespace {

void Answer(httplib::Response& res, const Json& body, int failure) {
  res.set_content(body.dump(), "application/json");
  if (body.contains("ok") && body["ok"] == false) res.status = failure;
}

std::uint64_t Index(const httplib::Request& req, const char* name) {
  return std::strtoull(req.get_param_value(name).c_str(), nullptr, 10);
}

}  // namespace

void AddViewRoutes(httplib::Server& http, PanelDevice& device) {
  http.Post("/api/freeze", [&device](const httplib::Request&, httplib::Response& res) {
    Answer(res, device.Freeze(), 409);
  });
  http.Get("/api/view", [&device](const httplib::Request& req, httplib::Response& res) {
    const int columns = std::clamp(std::atoi(req.get_param_value("columns").c_str()), 16, 4096);
    Answer(res, device.View(std::atoi(req.get_param_value("frozen").c_str()), Index(req, "from"), Index(req, "to"), columns),
           404);
  });
  http.Post("/api/record/start", [&device](const httplib::Request& req, httplib::Response& res) {
    const std::string format = req.has_param("format") ? req.get_param_value("format") : PanelRecorder::Formats()[0];
    Answer(res, device.RecordStart(format), 409);
  });
  http.Post("/api/record/stop", [&device](const httplib::Request&, httplib::Response& res) {
    Answer(res, device.RecordStop(), 502);
  });
}

}  // namespace velmora::cli
