// Parsing a command's arguments with CLI11, and what the user sees of it:
// the help layout and parse errors in the tool's words. Apart from
// options.cpp, which declares the options, so that touching either
// recompiles only half of what CLI11 instantiates.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "commands/command.h"
#include "options/option_parser.h"

namespace velmora::cli {

namespace {

// "-t/--seconds" for an option CLI11 names "--seconds", "FILE" for a
// positional it names "file".
std::string OptionName(const CLI::App& app, const std::string& name) {
  const CLI::Option* o = app.get_option_no_throw(name);
  if (o == nullptr) return name;
  if (o->get_positional()) {
    std::string upper = o->get_name();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }
  std::string text;
  for (const std::string& n : o->get_snames()) text += (text.empty() ? "-" : "/-") + n;
  for (const std::string& n : o->get_lnames()) text += (text.empty() ? "--" : "/--") + n;
  return text.empty() ? name : text;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string ParseErrorText(const CLI::ParseError& error, const CLI::App& app) {
  const std::string m = error.what();
  // Most texts start with the option's name: "NAME: what went wrong".
  const std::size_t colon = m.find(": ");
  const std::string name = colon == std::string::npos ? "" : OptionName(app, m.substr(0, colon));
  const std::string rest = colon == std::string::npos ? "" : m.substr(colon + 2);
  if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
    // "Could not convert: NAME = VALUE"
    const std::string prefix = "Could not convert: ";
    const std::size_t equals = m.find(" = ");
    if (StartsWith(m, prefix) && equals != std::string::npos)
      return OptionName(app, m.substr(prefix.size(), equals - prefix.size())) + " takes a number: " +
             m.substr(equals + 3);
    if (!name.empty()) return name + " takes no value";  // a flag given one
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr && !name.empty())
    return StartsWith(rest, "takes ") ? name + " " + rest : name + ": " + rest;
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    // "NAME: 1 required N missing", "NAME: At Most 1 required but received 2",
    // "Expected exactly 1 arguments to NAME, got 2"
    const std::string to = " arguments to ", got = ", got ";
    const std::size_t at = m.find(to), comma = m.find(got);
    if (at != std::string::npos && comma != std::string::npos && comma > at) {
      const std::string option = OptionName(app, m.substr(at + to.size(), comma - at - to.size()));
      return std::atoi(m.c_str() + comma + got.size()) > 0 ? option + " is given more than once" : option + " needs a value";
    }
    if (!name.empty()) return name + (StartsWith(rest, "At Most") ? " is given more than once" : " needs a value");
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !rest.empty())
    return "not an option or argument of this command: " + rest;
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    const std::string suffix = " is required";
    if (m.size() > suffix.size() && m.compare(m.size() - suffix.size(), suffix.size(), suffix) == 0)
      return OptionName(app, m.substr(0, m.size() - suffix.size())) + " is required";
  }
  return m;
}

namespace {

// Options in two columns: names and value from column 3, the text from 26.
class Layout : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::ostringstream out;
    out << "usage: velmora " << app->get_name() << " [OPTIONS]";
    for (const CLI::Option* o : app->get_options()) {
      if (!o->get_positional()) continue;
      std::string name = o->get_name();
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (o->get_expected_max() > 1) name += "...";
      out << ' ' << (o->get_required() ? name : "[" + name + "]");
    }
    out << '\n' << app->get_description() << '\n';
    for (const CLI::Option* o : app->get_options()) {
      if (o->get_positional()) continue;
      std::string names;
      for (const std::string& s : o->get_snames()) names += "-" + s + ", ";
      if (names.empty()) names = "    ";
      for (const std::string& l : o->get_lnames()) names += "--" + l;
      // CLI11 appends the checks to the value's name ("MS:INT in [1 - 60000]"); the text says them.
      const std::string value = o->get_type_name().substr(0, o->get_type_name().find(':'));
      if (!value.empty()) names += " " + value;
      std::string line = "  " + names;
      line.append(line.size() < 25 ? 25 - line.size() : 1, ' ');
      std::string text = o->get_description();
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        text.insert(at + 1, std::string(25, ' '));
      out << line << text << '\n';
    }
    if (!app->get_footer().empty()) out << app->get_footer() << '\n';
    return out.str();
  }
};

}  // namespace

std::shared_ptr<CLI::FormatterBase> HelpLayout() { return std::make_shared<Layout>(); }

int ParseThenRun(const char* name, Command& command, std::vector<std::string> args,
                 int (*run)(const char* name, Command& command)) {
  CLI::App app;
  app.name(name);
  app.formatter(HelpLayout());
  app.set_help_flag("-h,--help", "this text");
  OptionSet options(app);
  command.Define(options);
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes them from the back
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "velmora %s: %s\nTry 'velmora %s --help'.\n", name, ParseErrorText(e, app).c_str(), name);
    return 2;
  }
  return run(name, command);
}

}  // namespace velmora::cli
