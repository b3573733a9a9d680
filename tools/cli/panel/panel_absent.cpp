// Builds without the HTTP library (the Windows cross builds): no panel;
// the command list says so.
#include "commands/command.h"

namespace velmora::cli {

std::unique_ptr<Command> MakePanelCommand() { return nullptr; }

}  // namespace velmora::cli
