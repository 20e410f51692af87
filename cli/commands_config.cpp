// lucid config list|set|delete|explain
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;
using Op = LucidConfigOperation;

struct ConfigOptions {
  bool local = false;
  bool global = false;
  bool passwordFromStdin = false;
  std::vector<std::string> words;  // KEY=VALUE for set, KEY for delete and explain
};

std::optional<LucidConfigScope> scopeOf(const ConfigOptions& config) {
  if (config.local) return LucidConfigScope::local;
  if (config.global) return LucidConfigScope::global;
  return std::nullopt;
}

// The password comes from standard input only, so that it never shows on
// this program's command line or in a shell history; it is never printed. On
// a terminal it is typed without echo.
std::optional<std::string> passwordOf(const ConfigOptions& config) {
  if (!config.passwordFromStdin) return std::nullopt;
  const auto password = platform::readLineWithoutEcho("Filespace password: ");
  if (!password || password->empty()) {
    throw CommandError("CommandError", "emptyPassword", "The filespace password is empty");
  }
  return password;
}

// The tool's answer on one line: its lines joined by spaces.
std::string oneLine(const std::string& answer) {
  std::string line;
  std::istringstream lines(answer);
  for (std::string part; std::getline(lines, part);) {
    while (!part.empty() && (part.back() == '\r' || part.back() == ' ')) part.pop_back();
    if (!part.empty()) line += (line.empty() ? "" : " ") + part;
  }
  return line;
}

int printList(const LucidConfigListOutput& listing, const Options& options) {
  std::vector<std::pair<std::string, LucidConfigListOutput::ConfigEntry>> rows;
  for (const auto& [key, entry] : listing.entries()) rows.emplace_back(key.rawValue, entry);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  if (options.json) {
    json entries = json::object();
    for (const auto& [key, e] : rows) {
      entries[key] = {{"effective", optionalJson(e.effective)}, {"configured", optionalJson(e.configured)},
                      {"scope", optionalJson(e.scope)}, {"status", optionalJson(e.status)}};
    }
    printJson({{"entries", entries}, {"output", listing.output()}});
    return 0;
  }
  std::ostringstream out;
  for (const auto& [key, e] : rows) {
    out << escapedForTerminal(key) << " = " << escapedForTerminal(e.effective.value_or("")) << "  ("
        << escapedForTerminal(e.scope.value_or(""));
    if (!e.configured.value_or("").empty()) out << ", configured " << escapedForTerminal(*e.configured);
    out << ")";
    if (!e.status.value_or("").empty()) out << "  [" << escapedForTerminal(*e.status) << "]";
    out << "\n";
  }
  printRaw(out.str());
  return 0;
}

// A refusal fails with the tool's whole answer: the parsed reason alone may
// be only "Unrecognized output" or an option word.
int printVerdict(const LucidConfigSetOrDeleteOutput& answer, const Options& options) {
  const auto& result = answer.result();
  if (!result.isSuccess()) {
    const std::string whole = oneLine(answer.output());
    throw LucidLinkCLIError::failedToSetOrDeleteConfig(whole.empty() ? result.reason() : whole);
  }
  if (options.json) {
    printJson({{"result", "success"}, {"output", answer.output()}});
  } else {
    printRaw("Done.\n");
  }
  return 0;
}

// Every key asked for must come back explained (all keys, none named):
// the tool answers an unknown key with a message instead.
int printExplanations(const LucidConfigExplainOutput& answer, const std::vector<LucidConfigKey>& keys,
                      const Options& options) {
  std::string missing;
  for (const auto& key : keys) {
    if (!answer.explanations().contains(key)) missing += (missing.empty() ? "" : ", ") + key.rawValue;
  }
  if (!missing.empty()) {
    throw CommandError("CommandError", "unknownConfigKey",
                       "The LucidLink tool does not explain " + missing + ": " + oneLine(answer.output()));
  }
  if (answer.explanations().empty()) {
    throw CommandError("CommandError", "unknownConfigKey",
                       "The LucidLink tool explained no key: " + oneLine(answer.output()));
  }
  std::vector<std::pair<std::string, LucidConfigExplainOutput::KeyExplanation>> rows;
  for (const auto& [key, e] : answer.explanations()) rows.emplace_back(key.rawValue, e);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  if (options.json) {
    json explanations = json::object();
    for (const auto& [key, e] : rows) {
      explanations[key] = {{"description", e.description}, {"valueConstraints", e.valueConstraints},
                           {"defaultValue", e.defaultValue}};
    }
    printJson({{"explanations", explanations}, {"output", answer.output()}});
    return 0;
  }
  std::ostringstream out;
  for (const auto& [key, e] : rows) {
    out << escapedForTerminal(key) << "\n  " << escapedForTerminal(e.description) << "\n  values:  "
        << escapedForTerminal(e.valueConstraints) << "\n  default: " << escapedForTerminal(e.defaultValue) << "\n";
  }
  printRaw(out.str());
  return 0;
}

// The request is complete, its password read, before stop signals are
// passed on to the tool: Ctrl-C at the password prompt ends the command at once.
int runConfig(const std::shared_ptr<LucidLinkCLIUtility>& client, const std::string& action,
              const ConfigOptions& config, const Options& options) {
  const auto stoppable = [&client](const std::function<int()>& command) { return passingStopsOn(*client, command); };
  if (action == "list") {
    return stoppable([&] { return printList(client->runLucidConfig(Op::List{scopeOf(config)}), options); });
  }
  std::vector<LucidConfigKey> keys;
  if (action == "explain" || action == "delete") {
    for (const auto& word : config.words) keys.emplace_back(word);
  }
  if (action == "explain") {
    return stoppable([&] { return printExplanations(client->runLucidConfig(Op::Explain{keys}), keys, options); });
  }
  if (action == "set") {
    std::vector<LucidConfigKeyValue> settings;
    for (const auto& word : config.words) {
      const auto equals = word.find('=');
      if (equals == std::string::npos) throw CLI::ValidationError("KEY=VALUE", "expected KEY=VALUE, got: " + word);
      settings.push_back({LucidConfigKey(word.substr(0, equals)), word.substr(equals + 1)});
    }
    const auto password = passwordOf(config);
    return stoppable([&] { return printVerdict(client->runLucidConfig(Op::Set{scopeOf(config), settings, password}), options); });
  }
  const auto password = passwordOf(config);
  return stoppable([&] { return printVerdict(client->runLucidConfig(Op::Delete{scopeOf(config), keys, password}), options); });
}

}  // namespace

void addConfigCommands(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action) {
  auto* group = lucid.add_subcommand("config", "List, set, delete and explain configuration settings");
  group->require_subcommand(1);
  struct ConfigCommand {
    const char* name;
    const char* help;
    const char* words;
    bool scoped;
    bool password;
  };
  const ConfigCommand commands[] = {
      {"list", "List the settings", nullptr, true, false},
      {"set", "Set settings", "KEY=VALUE", true, true},
      {"delete", "Delete settings", "KEY", true, true},
      {"explain", "Explain keys (all keys without any)", "KEY", false, false},
  };
  for (const auto& entry : commands) {
    auto config = std::make_shared<ConfigOptions>();
    auto* command = group->add_subcommand(entry.name, entry.help);
    if (entry.scoped) {
      auto* local = command->add_flag("--local", config->local, "Local scope");
      command->add_flag("--global", config->global, "Global scope")->excludes(local);
    }
    if (entry.password) {
      command->add_flag("--password-stdin", config->passwordFromStdin,
                        "Read the filespace password from the first line of standard input");
    }
    if (entry.words) {
      auto* words = command->add_option(entry.words, config->words, entry.words);
      if (std::string(entry.name) != "explain") words->required();
    }
    const std::string name = entry.name;
    command->callback([name, config, makeClient, &options, &action] {
      action = [name, config, makeClient, &options] { return runConfig(makeClient(), name, *config, options); };
    });
  }
}

}  // namespace velmora::cli
