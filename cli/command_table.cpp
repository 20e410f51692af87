#include "command_table.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "front_end.hpp"

namespace velmora::cli {

namespace {

// Filled while the commands are added, before anything runs.
std::map<const CLI::Option*, ValueKind>& offeredWords() {
  static std::map<const CLI::Option*, ValueKind> words;
  return words;
}
std::set<const CLI::App*>& commandLines() {
  static std::set<const CLI::App*> commands;
  return commands;
}

bool mentions(const std::string& name, const char* word) { return name.find(word) != std::string::npos; }

ValueKind kindOf(const CLI::Option& option, const std::string& valueName) {
  if (const auto offered = offeredWords().find(&option); offered != offeredWords().end()) return offered->second;
  if (mentions(valueName, "DIR") || mentions(valueName, "FOLDER")) return {ValueKind::directories, {}};
  if (mentions(valueName, "PATH") || mentions(valueName, "FILE")) return {ValueKind::files, {}};
  return {};
}

OptionEntry entryOf(const CLI::Option& option) {
  OptionEntry entry;
  entry.option = &option;
  entry.description = option.get_description();
  if (!option.nonpositional()) {
    entry.names = {option.get_name()};
    entry.valueName = option.get_name();
  } else {
    for (const auto& name : option.get_snames()) entry.names.push_back("-" + name);
    for (const auto& name : option.get_lnames()) entry.names.push_back("--" + name);
    // The type name without the validators' descriptions ("UINT", not
    // "UINT:UINT in [1 - 1024]").
    const std::string typeName = option.get_type_name();
    if (option.get_type_size_max() > 0) entry.valueName = typeName.substr(0, typeName.find(':'));
  }
  entry.value = kindOf(option, entry.valueName);
  return entry;
}

void walk(const CLI::App& app, const std::vector<std::string>& path, const std::vector<OptionEntry>& above,
          std::vector<CommandEntry>& table) {
  CommandEntry entry;
  entry.path = path;
  entry.app = &app;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty()) continue;  // hidden
    (option->nonpositional() ? entry.options : entry.positionals).push_back(entryOf(*option));
  }
  if (!entry.positionals.empty()) entry.lastRepeats = entry.positionals.back().option->get_items_expected_max() > 1;
  if (app.get_fallthrough()) {
    for (const auto& inherited : above) {
      const bool taken = std::any_of(entry.options.begin(), entry.options.end(), [&](const OptionEntry& own) {
        return std::find_first_of(own.names.begin(), own.names.end(), inherited.names.begin(),
                                  inherited.names.end()) != own.names.end();
      });
      if (!taken) entry.options.push_back(inherited);
    }
  }
  if (app.get_prefix_command()) {
    entry.rest = ValueKind{commandLines().count(&app) ? ValueKind::command : ValueKind::files, {}};
  }
  entry.subcommands = app.get_subcommands(
      [](const CLI::App* sub) { return !sub->get_name().empty() && !sub->get_group().empty(); });
  table.push_back(entry);
  for (const CLI::App* sub : entry.subcommands) {
    std::vector<std::string> subPath = path;
    subPath.push_back(sub->get_name());
    walk(*sub, subPath, entry.options, table);
  }
}

}  // namespace

void offerWords(const CLI::Option* option, std::vector<std::string> words, bool commaSeparated) {
  offeredWords()[option] = ValueKind{commaSeparated ? ValueKind::listOf : ValueKind::oneOf, std::move(words)};
}

void offerCommandLine(const CLI::App* command) { commandLines().insert(command); }

std::string CommandEntry::pathText(const std::string& program, char separator) const {
  std::string text = program;
  for (const auto& word : path) text += separator + word;
  return text;
}

std::vector<CommandEntry> commandTable(const CLI::App& app) {
  std::vector<CommandEntry> table;
  walk(app, {}, {}, table);
  return table;
}

void addGenerateOption(CLI::App& app) {
  app.add_option_function<std::string>(
         "--generate",
         [&app](const std::string& what) {
           const auto table = commandTable(app);
           const std::string& program = app.get_name();
           if (what == "bash") printRaw(bashCompletion(program, table));
           if (what == "zsh") printRaw(zshCompletion(program, table));
           if (what == "fish") printRaw(fishCompletion(program, table));
           if (what == "man") printRaw(manualCommands(program, table));
           if (what != "bash" && what != "zsh" && what != "fish" && what != "man") {
             throw CLI::ValidationError("--generate", "give bash, zsh, fish or man");
           }
           throw CLI::Success();
         },
         "Print the completion for a shell, or the manual's command sections, and exit")
      ->group("")  // for the build, not for users
      ->trigger_on_parse();
}

}  // namespace velmora::cli
