// The requests of the page's oscilloscope controls: a view that holds still
// (freeze, then any stretch of the frozen copy) and recording the running
// acquisition. Added to the panel's server, behind its token and origin
// checks.
#pragma once

#include "panel_device.h"

namespace httplib {
class Server;
}

namespace velmora::cli {

//   POST /api/freeze                          a copy of the samples kept now
//   GET  /api/view?frozen=ID&from=A&to=B&columns=N   its samples [A, B)
//   POST /api/record/start[?format=h5|raw]   a new file in the record folder
//   POST /api/record/stop
void AddViewRoutes(httplib::Server& http, PanelDevice& device);

}  // namespace velmora::cli
