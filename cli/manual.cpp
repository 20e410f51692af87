// The manual's command sections, generated from the command table as a
// help2man include file: help2man makes the page's head and OPTIONS from the
// program's --help, this file adds a COMMANDS section (each command's usage,
// description, arguments and options, and its own exit status where it has
// one) and EXIT STATUS.
#include <algorithm>

#include "command_table.hpp"

namespace velmora::cli {

namespace {

// Text for roff: backslashes and hyphens escaped, no line that starts with
// a control character.
std::string roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \n") - first + 1);
}

// Each line of `text` a line of the page.
std::string lines(const std::string& text) {
  std::string out;
  for (const char c : roff(trimmed(text))) out += c == '\n' ? std::string("\n.br\n") : std::string(1, c);
  return out + "\n";
}

std::string item(const OptionEntry& entry, const CLI::Formatter& formatter) {
  std::string names;
  for (const auto& name : entry.names) names += (names.empty() ? "" : ", ") + ("\\fB" + roff(name) + "\\fR");
  // What the help shows after the names: the value's type, default and limits.
  const std::string details = entry.option->nonpositional() ? formatter.make_option_opts(entry.option) : "";
  return ".TP\n" + names + (details.empty() ? "" : " \\fI" + roff(trimmed(details)) + "\\fR") + "\n" +
         roff(entry.description) + "\n";
}

}  // namespace

std::string manualCommands(const std::string& program, const std::vector<CommandEntry>& table) {
  const CLI::Formatter formatter;
  const CLI::App* root = table.front().app;
  std::string text = "[COMMANDS]\n";
  for (const auto& entry : table) {
    const CLI::App& app = *entry.app;
    // Its own options: not the ones it takes from the commands above, nor help.
    const auto ownOptions = app.get_options();
    std::vector<const OptionEntry*> own;
    for (const auto& option : entry.options) {
      if (option.option != app.get_help_ptr() &&
          std::find(ownOptions.begin(), ownOptions.end(), option.option) != ownOptions.end()) {
        own.push_back(&option);
      }
    }
    // A group of commands that takes nothing itself is described by its commands.
    if (&app == root || (!entry.subcommands.empty() && own.empty() && entry.positionals.empty())) continue;

    text += ".SS \"" + roff(entry.pathText(program)) + "\"\n" + roff(app.get_description()) + "\n";
    // A command whose words belong to another program states its usage in
    // its footer; the parser's would say only [OPTIONS].
    if (!app.get_prefix_command()) {
      text += ".PP\n\\fBUsage:\\fR " + roff(trimmed(formatter.make_usage(&app, entry.pathText(program)))
                                               .substr(std::string("Usage: ").size())) + "\n";
    }
    for (const auto& positional : entry.positionals) text += item(positional, formatter);
    for (const OptionEntry* option : own) text += item(*option, formatter);
    if (app.get_footer() != root->get_footer()) text += ".PP\n" + lines(app.get_footer());
  }
  return text + "[EXIT STATUS]\n" + lines(root->get_footer());
}

}  // namespace velmora::cli
