#include "velmora/lucidlink/lucid_config.hpp"

#include <type_traits>
#include <variant>

#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

const LucidConfigKey LucidConfigKey::dataCacheSize{"DataCache.Size"};
const LucidConfigKey LucidConfigKey::dataCacheLocation{"DataCache.Location"};
const LucidConfigKey LucidConfigKey::maxUploadRate{"ObjectScheduler.MaxUploadRate"};
const LucidConfigKey LucidConfigKey::mountPointOsX{"FileSystem.MountPointOSX"};
const LucidConfigKey LucidConfigKey::forbidSpecialCharacters{"FileSystem.ForbidSpecialCharacters"};

std::string_view rawValue(LucidConfigScope scope) noexcept {
  return scope == LucidConfigScope::local ? "local" : "global";
}

std::optional<LucidConfigScope> lucidConfigScope(std::string_view text) noexcept {
  if (text == "local") return LucidConfigScope::local;
  if (text == "global") return LucidConfigScope::global;
  return std::nullopt;
}

namespace {

void addScope(std::vector<std::string>& words, const std::optional<LucidConfigScope>& scope) {
  if (scope) words.push_back("--" + std::string(rawValue(*scope)));
}

void addPassword(std::vector<std::string>& words, const std::optional<std::string>& password) {
  if (!password) return;
  words.push_back("--password");
  words.push_back(*password);
}

}  // namespace

std::vector<std::string> LucidConfigOperation::arguments() const {
  std::vector<std::string> words;
  std::visit(
      [&words](const auto& request) {
        using Request = std::decay_t<decltype(request)>;
        if constexpr (std::is_same_v<Request, List>) {
          words.push_back("--list");
          addScope(words, request.scope);
        } else if constexpr (std::is_same_v<Request, Set>) {
          words.push_back("--set");
          addScope(words, request.scope);
          for (const auto& setting : request.settings) {
            words.push_back("--" + setting.key.rawValue);
            words.push_back(setting.value);
          }
          addPassword(words, request.password);
        } else if constexpr (std::is_same_v<Request, Delete>) {
          words.push_back("--delete");
          addScope(words, request.scope);
          for (const auto& key : request.keys) words.push_back("--" + key.rawValue);
          addPassword(words, request.password);
        } else {
          words.push_back("--explain");
          if (request.keys) {
            for (const auto& key : *request.keys) words.push_back("--" + key.rawValue);
          }
        }
      },
      value);
  return words;
}

LucidConfigAnyResult LucidLinkCLIUtility::runLucidConfig(const LucidConfigOperation& operation) const {
  std::string output = runInstanceSpecificCommand({"config"}, operation.arguments());
  return std::visit(
      [&output](const auto& request) -> LucidConfigAnyResult {
        using Request = std::decay_t<decltype(request)>;
        if constexpr (std::is_same_v<Request, LucidConfigOperation::List>) {
          return LucidConfigListOutput(std::move(output));
        } else if constexpr (std::is_same_v<Request, LucidConfigOperation::Explain>) {
          return LucidConfigExplainOutput(std::move(output));
        } else {
          return LucidConfigSetOrDeleteOutput(std::move(output));
        }
      },
      operation.value);
}

// The record type is fixed by the request's case (above), so taking it out
// of the variant cannot fail.
LucidConfigListOutput LucidLinkCLIUtility::runLucidConfig(const LucidConfigOperation::List& request) const {
  return std::get<LucidConfigListOutput>(runLucidConfig(LucidConfigOperation(request)));
}

LucidConfigSetOrDeleteOutput LucidLinkCLIUtility::runLucidConfig(const LucidConfigOperation::Set& request) const {
  return std::get<LucidConfigSetOrDeleteOutput>(runLucidConfig(LucidConfigOperation(request)));
}

LucidConfigSetOrDeleteOutput LucidLinkCLIUtility::runLucidConfig(const LucidConfigOperation::Delete& request) const {
  return std::get<LucidConfigSetOrDeleteOutput>(runLucidConfig(LucidConfigOperation(request)));
}

LucidConfigExplainOutput LucidLinkCLIUtility::runLucidConfig(const LucidConfigOperation::Explain& request) const {
  return std::get<LucidConfigExplainOutput>(runLucidConfig(LucidConfigOperation(request)));
}

}  // namespace velmora
