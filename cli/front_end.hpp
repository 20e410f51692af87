// The pieces of the velmora-fsutil front end that every command shares.
// The front end is a thin layer over the library: it parses arguments, calls
// the public API and prints what comes back.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace velmora {
class LucidLinkCLIUtility;
}

namespace velmora::cli {

struct Options {
  bool json = false;  // --json: machine-readable output
};

// Adds each command group to the application. Parsing stores the chosen
// command in `action`, which returns the exit status.
using Action = std::function<int()>;
void addRunCommand(CLI::App& app, const Options& options, Action& action);
void addLucidCommands(CLI::App& app, const Options& options, Action& action);
void addZipCommand(CLI::App& app, const Options& options, Action& action);
void addKextCommands(CLI::App& app, const Options& options, Action& action);
void addSettingsCommands(CLI::App& app, const Options& options, Action& action);
void addSmartCommands(CLI::App& app, const Options& options, Action& action);


// Commands of the "lucid" group; `makeClient` gives the client that the
// group's options (--tool, --instance) describe.
using ClientFactory = std::function<std::shared_ptr<LucidLinkCLIUtility>()>;
void addConfigCommands(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action);
void addPerfCommand(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action);

// Writes text exactly as given (no line feed added).
void printRaw(std::string_view text);
// Writes one JSON value and a line feed.
void printJson(const nlohmann::json& value);

// An absent optional is JSON null.
template <typename T>
nlohmann::json optionalJson(const std::optional<T>& value) {
  if (!value) return nullptr;
  if constexpr (std::is_same_v<T, std::filesystem::path>) {
    return value->string();
  } else {
    return *value;
  }
}

}  // namespace velmora::cli
