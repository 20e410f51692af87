/// @file
/// The LucidLink tool's "config" command: scopes, keys, the four requests and
/// the three kinds of answer.
///
/// A request becomes exactly the tool's argument words (after "config"):
///   list     "--list" [scope]
///   set      "--set" [scope] then "--KEY" VALUE per setting, then "--password" P if given
///   delete   "--delete" [scope] then "--KEY" per key, then "--password" P if given
///   explain  "--explain" then "--KEY" per key, if any
/// where scope is "--local" or "--global". Nothing is quoted, sorted or
/// validated.
///
/// The answers are parsed into records that keep the whole answer in
/// `output()`. A refused set or delete is not a failure: its `result` says
/// why. Column positions of the listing count user-perceived characters
/// (grapheme clusters), which are byte columns for ASCII. A listing whose
/// header lacks the titles KEY NAME, EFFECTIVE, CONFIGURED, SCOPE and STATUS,
/// in that order, fails with LucidLinkCLIError::invalidOutput.
///
/// Two listing rules differ from a strict reading of the table by columns, on
/// purpose:
///   - A row that ends before the STATUS column but reaches at least the
///     SCOPE column's start is kept, its missing pieces empty: the tool does
///     not pad an empty last column, so such a row is a setting without a
///     status, and skipping it would lose most settings. A line that ends
///     before SCOPE ("Done.", a notice after the table) is skipped, as any
///     line shorter than STATUS would be by the columns alone.
///   - A row whose key piece is empty is skipped: a line of spaces or a value
///     wrapped onto a line of its own names no setting, and storing it under
///     the empty key would make up a setting the tool never listed.
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

/// Which settings a request reads or writes: "--local" or "--global".
enum class LucidConfigScope { local, global };

/// "local" or "global".
std::string_view rawValue(LucidConfigScope scope) noexcept;
/// The scope whose raw value is exactly `text`; nothing for any other text.
std::optional<LucidConfigScope> lucidConfigScope(std::string_view text) noexcept;

/// A configuration key: any text, compared and hashed as exact text.
struct LucidConfigKey {
  /// The key as the tool spells it.
  std::string rawValue;

  ///@{
  /// The empty key, or the key `raw`.
  LucidConfigKey() = default;
  explicit LucidConfigKey(std::string raw) : rawValue(std::move(raw)) {}
  ///@}

  static const LucidConfigKey dataCacheSize;            // "DataCache.Size"
  static const LucidConfigKey dataCacheLocation;        // "DataCache.Location"
  static const LucidConfigKey maxUploadRate;            // "ObjectScheduler.MaxUploadRate"
  static const LucidConfigKey mountPointOsX;            // "FileSystem.MountPointOSX"
  static const LucidConfigKey forbidSpecialCharacters;  // "FileSystem.ForbidSpecialCharacters"

  /// Equal when the texts are.
  friend bool operator==(const LucidConfigKey&, const LucidConfigKey&) = default;
};

}  // namespace velmora

/// Hashes the key's text, as equality compares it.
template <>
struct std::hash<velmora::LucidConfigKey> {
  /// The text's hash.
  std::size_t operator()(const velmora::LucidConfigKey& key) const noexcept {
    return std::hash<std::string>{}(key.rawValue);
  }
};

namespace velmora {

/// One setting of a set request.
struct LucidConfigKeyValue {
  /// The setting.
  LucidConfigKey key;
  std::string value;  // handed to the tool unchanged
  /// Equal when key and value are.
  friend bool operator==(const LucidConfigKeyValue&, const LucidConfigKeyValue&) = default;
};

/// One request of the "config" command; each case carries its payload.
struct LucidConfigOperation {
  /// Lists the settings of a scope, or of both.
  struct List {
    /// Absent: the tool's default.
    std::optional<LucidConfigScope> scope;
  };
  /// Sets the settings, in order.
  struct Set {
    /// Absent: the tool's default.
    std::optional<LucidConfigScope> scope;
    /// In the order given.
    std::vector<LucidConfigKeyValue> settings;
    std::optional<std::string> password;  // an empty password is still passed
  };
  /// Deletes the keys' settings.
  struct Delete {
    /// Absent: the tool's default.
    std::optional<LucidConfigScope> scope;
    /// In the order given.
    std::vector<LucidConfigKey> keys;
    /// An empty password is still passed.
    std::optional<std::string> password;
  };
  /// Explains the keys.
  struct Explain {
    std::optional<std::vector<LucidConfigKey>> keys;  // absent or empty: every key
  };

  ///@{
  /// The request of that case.
  LucidConfigOperation(List c) : value(std::move(c)) {}
  LucidConfigOperation(Set c) : value(std::move(c)) {}
  LucidConfigOperation(Delete c) : value(std::move(c)) {}
  LucidConfigOperation(Explain c) : value(std::move(c)) {}
  ///@}

  /// The tool's arguments after "config".
  std::vector<std::string> arguments() const;

  /// The case and its payload.
  std::variant<List, Set, Delete, Explain> value;
};

/// What every answer record offers: the tool's whole answer, as received.
class LucidConfigResult {
 public:
  virtual ~LucidConfigResult() = default;
  /// The tool's whole answer, as received.
  virtual const std::string& output() const noexcept = 0;
};

/// The answer to list: one entry per table row, keyed by its key column.
class LucidConfigListOutput : public LucidConfigResult {
 public:
  /// A row's columns after the key, trimmed; a parsed row has all four, blank
  /// ones empty.
  struct ConfigEntry {
    /// EFFECTIVE
    std::optional<std::string> effective;
    /// CONFIGURED
    std::optional<std::string> configured;
    /// SCOPE
    std::optional<std::string> scope;
    /// STATUS
    std::optional<std::string> status;
    /// Equal when every column is.
    friend bool operator==(const ConfigEntry&, const ConfigEntry&) = default;
  };
  /// The rows by key.
  using Entries = std::unordered_map<LucidConfigKey, ConfigEntry>;

  /// Throws LucidLinkCLIError::invalidOutput when the answer has no header
  /// with the five column titles in order.
  /// @throws LucidLinkCLIError invalidOutput, as said.
  explicit LucidConfigListOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  /// The rows, by key; a key listed twice keeps its last row.
  const Entries& entries() const noexcept { return entries_; }

 private:
  std::string output_;
  Entries entries_;
};

/// The answer to set or delete: the tool's verdict. Never fails to parse.
class LucidConfigSetOrDeleteOutput : public LucidConfigResult {
 public:
  /// The tool's verdict: success, or a failure and its reason.
  class OperationResult {
   public:
    /// The two verdicts: failure (the tool refused, or said nothing known),
    /// success (it said "successfully processed").
    enum class Case { failure, success };
    /// A success.
    static OperationResult success() { return OperationResult(Case::success, {}); }
    /// A failure with its reason.
    static OperationResult failure(std::string reason) { return OperationResult(Case::failure, std::move(reason)); }

    /// Which verdict this is.
    Case resultCase() const noexcept { return case_; }
    /// Whether resultCase() is success.
    bool isSuccess() const noexcept { return case_ == Case::success; }
    /// The reason of a failure; empty for success.
    const std::string& reason() const noexcept { return reason_; }

    /// Equal when verdict and reason are.
    friend bool operator==(const OperationResult&, const OperationResult&) = default;

   private:
    OperationResult(Case c, std::string reason) : case_(c), reason_(std::move(reason)) {}
    Case case_;
    std::string reason_;
  };

  /// Reads the verdict: success when the answer says "successfully
  /// processed"; else a failure whose reason is the "Additional arguments:"
  /// line's rest, or "Failed to update setting" for an empty answer, or
  /// "Unrecognized output" or "Unknown error".
  explicit LucidConfigSetOrDeleteOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  /// The verdict.
  const OperationResult& result() const noexcept { return result_; }

 private:
  std::string output_;
  OperationResult result_;
};

/// The answer to explain: one entry per complete explanation block.
class LucidConfigExplainOutput : public LucidConfigResult {
 public:
  /// One key's explanation block.
  struct KeyExplanation {
    /// "Description:"
    std::string description;
    /// "Value constraints:"
    std::string valueConstraints;
    /// "Default value:"
    std::string defaultValue;
    /// Equal when every field is.
    friend bool operator==(const KeyExplanation&, const KeyExplanation&) = default;
  };
  /// The explanations by key.
  using Explanations = std::unordered_map<LucidConfigKey, KeyExplanation>;

  /// Reads the blocks, separated by empty lines; a block lacking one of the
  /// "Key:", "Description:", "Value constraints:" and "Default value:" lines
  /// is skipped. Never fails to parse.
  explicit LucidConfigExplainOutput(std::string output);

  const std::string& output() const noexcept override { return output_; }
  /// Replaces output() only; the explanations stay.
  void setOutput(std::string output) { output_ = std::move(output); }
  /// The explanations, by key.
  const Explanations& explanations() const noexcept { return explanations_; }

 private:
  std::string output_;
  Explanations explanations_;
};

/// The record runLucidConfig() returns: the one its request's case names.
using LucidConfigAnyResult = std::variant<LucidConfigListOutput, LucidConfigSetOrDeleteOutput, LucidConfigExplainOutput>;

/// The record inside, as what every answer offers.
inline const LucidConfigResult& asConfigResult(const LucidConfigAnyResult& result) {
  return std::visit([](const auto& record) -> const LucidConfigResult& { return record; }, result);
}

}  // namespace velmora
