// CLI11 itself, for the one file that parses: options.cpp declares the
// commands' options onto it, parses and reports mistakes in the tool's words.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "options/options.h"

namespace velmora::cli {

// What a parse error means, in the tool's words, naming the option the way
// the user can type it ("-t/--seconds", "FILE"); CLI11's own text when the
// error is of a kind not foreseen.
std::string ParseErrorText(const CLI::ParseError& error, const CLI::App& app);

// The layout of every --help: "usage: velmora COMMAND ...", the description,
// one line per option, the footer.
std::shared_ptr<CLI::FormatterBase> HelpLayout();

}  // namespace velmora::cli
