// The command tree as the argument parser holds it, walked for what the
// build generates from it: the bash, zsh and fish completions and the
// manual's command sections. Generated from the parser itself, they name
// every command and option the program takes, and only those.
//
// What a shell offers for a value comes from the value's name (a name with
// PATH or FILE in it completes files, DIR or FOLDER folders), or from the
// words a command offers for it (offerWords). Hidden options are left out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace velmora::cli {

// What a shell offers for one value.
struct ValueKind {
  enum Kind { text, files, directories, command, oneOf, listOf };
  Kind kind = text;
  std::vector<std::string> words;  // oneOf, or listOf: a comma-separated list of them
};

// Offers `words` for the option's value (with `commaSeparated`, any number
// of them joined by commas).
void offerWords(const CLI::Option* option, std::vector<std::string> words, bool commaSeparated = false);
// The words after this prefix command are a command line of their own: a
// program, then its arguments. (Otherwise they complete as files.)
void offerCommandLine(const CLI::App* command);

struct OptionEntry {
  std::vector<std::string> names;  // "-q", "--quiet"; a positional's one name
  std::string valueName;           // empty for a flag
  ValueKind value;
  std::string description;
  const CLI::Option* option = nullptr;
};

struct CommandEntry {
  std::vector<std::string> path;  // the command words after the program's name
  const CLI::App* app = nullptr;
  std::vector<const CLI::App*> subcommands;
  // Every option the command takes: its own first, then those it takes from
  // the commands above it (the global options), each name once.
  std::vector<OptionEntry> options;
  std::vector<OptionEntry> positionals;
  bool lastRepeats = false;         // the last positional takes any number of words
  std::optional<ValueKind> rest;    // a prefix command: what its words complete as

  std::string pathText(const std::string& program, char separator = ' ') const;
};

// Every visible command, the program first, depth first in declaration order.
std::vector<CommandEntry> commandTable(const CLI::App& app);

std::string bashCompletion(const std::string& program, const std::vector<CommandEntry>& table);
std::string zshCompletion(const std::string& program, const std::vector<CommandEntry>& table);
std::string fishCompletion(const std::string& program, const std::vector<CommandEntry>& table);
// A help2man include file: a section per command with its usage, options
// and exit status.
std::string manualCommands(const std::string& program, const std::vector<CommandEntry>& table);

// Adds the hidden option `--generate bash|zsh|fish|man`, which prints the
// file of that name that the build installs, and exits. Add it last.
void addGenerateOption(CLI::App& app);

}  // namespace velmora::cli
