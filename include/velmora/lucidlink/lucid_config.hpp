// The LucidLink tool's "config" command: scopes, keys, the four requests and
// the three kinds of answer.
//
// A request becomes exactly the tool's argument words (after "config"):
//   list     "--list" [scope]
//   set      "--set" [scope] then "--KEY" VALUE per setting, then "--password" P if given
//   delete   "--delete" [scope] then "--KEY" per key, then "--password" P if given
//   explain  "--explain" then "--KEY" per key, if any
// where scope is "--local" or "--global". Nothing is quoted, sorted or
// validated.
//
// The answers are parsed into records that keep the whole answer in
// `output()`. A refused set or delete is not a failure: its `result` says
// why. Column positions of the listing count user-perceived characters
// (grapheme clusters), which are byte columns for ASCII. A listing whose
// header lacks the titles KEY NAME, EFFECTIVE, CONFIGURED, SCOPE and STATUS,
// in that order, fails with LucidLinkCLIError::invalidOutput.
//
// Two listing rules differ from a strict reading of the table by columns, on
// purpose:
//   - A row that ends before the STATUS column but reaches at least the
//     SCOPE column's start is kept, its missing pieces empty: the tool does
//     not pad an empty last column, so such a row is a setting without a
//     status, and skipping it would lose most settings. A line that ends
//     before SCOPE ("Done.", a notice after the table) is skipped, as any
//     line shorter than STATUS would be by the columns alone.
//   - A row whose key piece is empty is skipped: a line of spaces or a value
//     wrapped onto a line of its own names no setting, and storing it under
//     the empty key would make up a setting the tool never listed.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace velmora {

enum class LucidConfigScope { local, global };

// "local" or "global".
std::string_view rawValue(LucidConfigScope scope) noexcept;
// The scope whose raw value is exactly `text`; nothing for any other text.
std::optional<LucidConfigScope> lucidConfigScope(std::string_view text) noexcept;

// A configuration key: any text, compared and hashed as exact text.
struct LucidConfigKey {
  std::string rawValue;

  LucidConfigKey() = default;
  explicit LucidConfigKey(std::string raw) : rawValue(std::move(raw)) {}

  static const LucidConfigKey dataCacheSize;            // "DataCache.Size"
  static const LucidConfigKey dataCacheLocation;        // "DataCache.Location"
  static const LucidConfigKey maxUploadRate;            // "ObjectScheduler.MaxUploadRate"
  static const LucidConfigKey mountPointOsX;            // "FileSystem.MountPointOSX"
  static const LucidConfigKey forbidSpecialCharacters;  // "FileSystem.ForbidSpecialCharacters"

  friend bool operator==(const LucidConfigKey&, const LucidConfigKey&) = default;
};

}  // namespace velmora

template <>
struct std::hash<velmora::LucidConfigKey> {
  std::size_t operator()(const velmora::LucidConfigKey& key) const noexcept {
    return std::hash<std::string>{}(key.rawValue);
  }
};

namespace velmora {

struct LucidConfigKeyValue {
  LucidConfigKey key;
  std::string value;  // handed to the tool unchanged
  friend bool operator==(const LucidConfigKeyValue&, const LucidConfigKeyValue&) = default;
};

// One request of the "config" command; each case carries its payload.
struct LucidConfigOperation {
  struct List {
    std::optional<LucidConfigScope> scope;
  };
  struct Set {
    std::optional<LucidConfigScope> scope;
    std::vector<LucidConfigKeyValue> settings;
    std::optional<std::string> password;  // an empty password is still passed
  };
  struct Delete {
    std::optional<LucidConfigScope> scope;
    std::vector<LucidConfigKey> keys;
    std::optional<std::string> password;
  };
  struct Explain {
    std::optional<std::vector<LucidConfigKey>> keys;  // absent or empty: every key
  };

  LucidConfigOperation(List c) : value(std::move(c)) {}
  LucidConfigOperation(Set c) : value(std::move(c)) {}
  LucidConfigOperation(Delete c) : value(std::move(c)) {}
  LucidConfigOperation(Explain c) : value(std::move(c)) {}

  // The tool's arguments after "config".
  std::vector<std::string> arguments() const;

  std::variant<List, Set, Delete, Explain> value;
};

// What every answer record offers: the tool's whole answer, as received.
class LucidConfigResult {
 public:
  virtual ~LucidConfigResult() = default;
  virtual const std::string& output() const noexcept = 0;
};

// The answer to list: one entry per table row, keyed by its key column.
class LucidConfigListOutput : public LucidConfigResult {
 public:
  struct ConfigEntry {
    std::optional<std::string> effective;
    std::optional<std::string> configured;
    std::optional<std::string> scope;
    std::optional<std::string> status;
    friend bool operator==(const ConfigEntry&, const ConfigEntry&) = default;
  };
  using Entries = std::unordered_map<LucidConfigKey, ConfigEntry>;

  // Throws LucidLinkCLIError::invalidOutput when the answer has no header
  // with the five column titles in order.
  explicit LucidConfigListOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  const Entries& entries() const noexcept { return entries_; }

 private:
  std::string output_;
  Entries entries_;
};

// The answer to set or delete: the tool's verdict. Never fails to parse.
class LucidConfigSetOrDeleteOutput : public LucidConfigResult {
 public:
  class OperationResult {
   public:
    enum class Case { failure, success };
    static OperationResult success() { return OperationResult(Case::success, {}); }
    static OperationResult failure(std::string reason) { return OperationResult(Case::failure, std::move(reason)); }

    Case resultCase() const noexcept { return case_; }
    bool isSuccess() const noexcept { return case_ == Case::success; }
    // The reason of a failure; empty for success.
    const std::string& reason() const noexcept { return reason_; }

    friend bool operator==(const OperationResult&, const OperationResult&) = default;

   private:
    OperationResult(Case c, std::string reason) : case_(c), reason_(std::move(reason)) {}
    Case case_;
    std::string reason_;
  };

  explicit LucidConfigSetOrDeleteOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  const OperationResult& result() const noexcept { return result_; }

 private:
  std::string output_;
  OperationResult result_;
};

// The answer to explain: one entry per complete explanation block.
class LucidConfigExplainOutput : public LucidConfigResult {
 public:
  struct KeyExplanation {
    std::string description;
    std::string valueConstraints;
    std::string defaultValue;
    friend bool operator==(const KeyExplanation&, const KeyExplanation&) = default;
  };
  using Explanations = std::unordered_map<LucidConfigKey, KeyExplanation>;

  explicit LucidConfigExplainOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  void setOutput(std::string output) { output_ = std::move(output); }
  const Explanations& explanations() const noexcept { return explanations_; }

 private:
  std::string output_;
  Explanations explanations_;
};

// The record runLucidConfig() returns: the one its request's case names.
using LucidConfigAnyResult = std::variant<LucidConfigListOutput, LucidConfigSetOrDeleteOutput, LucidConfigExplainOutput>;

inline const LucidConfigResult& asConfigResult(const LucidConfigAnyResult& result) {
  return std::visit([](const auto& record) -> const LucidConfigResult& { return record; }, result);
}

}  // namespace velmora
