#include "velmora/lucidlink/lucid_config.hpp"

#include <tuple>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {

// Readable failure messages.
void PrintTo(const LucidConfigKey& key, std::ostream* out) { *out << '"' << key.rawValue << '"'; }
void PrintTo(const LucidConfigListOutput::ConfigEntry& e, std::ostream* out) {
  auto text = [](const std::optional<std::string>& v) { return v ? '"' + *v + '"' : std::string("null"); };
  *out << "{" << text(e.effective) << ", " << text(e.configured) << ", " << text(e.scope) << ", " << text(e.status) << "}";
}

namespace {

using Op = LucidConfigOperation;
using Result = LucidConfigSetOrDeleteOutput::OperationResult;
using Entry = LucidConfigListOutput::ConfigEntry;
using Words = std::vector<std::string>;

// Keys are any text, compared exactly; the request's words are passed as they are.
TEST(LucidConfigOperation, BuildsExactlyTheDocumentedArguments) {
  const LucidConfigKey size = LucidConfigKey::dataCacheSize;
  const LucidConfigKey rate = LucidConfigKey::maxUploadRate;
  const std::tuple<const char*, LucidConfigOperation, Words> cases[] = {  // the words after "config"
      {"list without scope", Op::List{}, {"--list"}},
      {"list global", Op::List{LucidConfigScope::global}, {"--list", "--global"}},
      {"explain, keys absent", Op::Explain{}, {"--explain"}},
      {"explain, keys empty", Op::Explain{std::vector<LucidConfigKey>{}}, {"--explain"}},
      {"explain two keys", Op::Explain{std::vector{size, rate}}, {"--explain", "--DataCache.Size", "--ObjectScheduler.MaxUploadRate"}},
      {"set two settings with a password",
       Op::Set{LucidConfigScope::global, {{size, "10GiB"}, {rate, "5MiB/s"}}, "s3cret"},
       {"--set", "--global", "--DataCache.Size", "10GiB", "--ObjectScheduler.MaxUploadRate", "5MiB/s", "--password", "s3cret"}},
      {"set with an empty password and an empty value", Op::Set{std::nullopt, {{size, ""}}, ""},
       {"--set", "--DataCache.Size", "", "--password", ""}},
      {"set without settings", Op::Set{}, {"--set"}},
      {"delete without values", Op::Delete{LucidConfigScope::local, {size, rate}, std::nullopt},
       {"--delete", "--local", "--DataCache.Size", "--ObjectScheduler.MaxUploadRate"}},
      {"delete with a password", Op::Delete{std::nullopt, {size}, "pw"}, {"--delete", "--DataCache.Size", "--password", "pw"}},
  };
  for (const auto& [name, operation, expected] : cases) EXPECT_EQ(operation.arguments(), expected) << name;
}

TEST(LucidConfigScope, OnlyTheExactRawValueNamesAScope) {
  EXPECT_EQ(lucidConfigScope("global"), LucidConfigScope::global);
  for (const char* text : {"Global", "GLOBAL", "Local", " local", ""}) EXPECT_EQ(lucidConfigScope(text), std::nullopt) << text;
}

TEST(RunLucidConfig, SetThenListShowsTheChangeAndRefusalsAreResults) {
  test::SimulatedTool tool;
  const LucidLinkCLIUtility client(tool.path(), LucidFileSpaceInfo{"2001", "a", "1", "live"});
  const auto set =
      client.runLucidConfig(Op::Set{LucidConfigScope::global, {{LucidConfigKey::dataCacheSize, "10GiB"}}, std::nullopt});
  EXPECT_EQ(set.result(), Result::success());
  EXPECT_EQ(tool.calls().back(), (Words{"--instance", "2001", "config", "--set", "--global", "--DataCache.Size", "10GiB"}));

  const auto listed = client.runLucidConfig(Op::List{});
  EXPECT_EQ(listed.entries().at(LucidConfigKey::dataCacheSize), (Entry{"10GiB", "10GiB", "global", ""}));
  EXPECT_EQ(listed.entries().at(LucidConfigKey::maxUploadRate), (Entry{"0", "", "default", ""}));
  EXPECT_EQ(asConfigResult(client.runLucidConfig(LucidConfigOperation(Op::List{}))).output(), listed.output());

  const auto refused = client.runLucidConfig(Op::Set{std::nullopt, {{LucidConfigKey("No.Such"), "1"}}, std::nullopt});
  EXPECT_EQ(refused.result(), Result::failure("--No.Such"));

  const auto explained = client.runLucidConfig(Op::Explain{});
  EXPECT_EQ(explained.explanations().size(), 5u);
  EXPECT_EQ(explained.explanations().at(LucidConfigKey::dataCacheSize).defaultValue, "5GiB");
}

// --- the listing table ---

const std::string kHeader = "KEY NAME            EFFECTIVE   CONFIGURED  SCOPE   STATUS\n";
//                           0                   20          32          44      52

struct ListCase {
  const char* name;
  std::string answer;
  LucidConfigListOutput::Entries expected;
};

TEST(ConfigListOutput, CutsRowsAtTheHeadersColumns) {
  const ListCase cases[] = {
      {"header without rows", kHeader, {}},
      {"full row", kHeader + "DataCache.Size      10GiB       10GiB       global  ok\n",
       {{LucidConfigKey("DataCache.Size"), Entry{"10GiB", "10GiB", "global", "ok"}}}},
      {"row ending at the status start", kHeader + "K                   e           c           local   \n",
       {{LucidConfigKey("K"), Entry{"e", "c", "local", ""}}}},
      {"unpadded row ending in the scope column", kHeader + "K                   e           c           local\n",
       {{LucidConfigKey("K"), Entry{"e", "c", "local", ""}}}},
      {"values overflowing into the next column", kHeader + "A.Very.Long.Key.NameXYZ         c           global  s\n",
       {{LucidConfigKey("A.Very.Long.Key.Name"), Entry{"XYZ", "c", "global", "s"}}}},
      {"row without a key is skipped", kHeader + "                    e           c           local   s\n", {}},
      {"CRLF line ends", "KEY NAME  EFFECTIVE  CONFIGURED  SCOPE  STATUS\r\nK         e          c           g      s\r\n",
       {{LucidConfigKey("K"), Entry{"e", "c", "g", "s"}}}},
      {"leading spaces shift every column",
       "  KEY NAME  EFFECTIVE  CONFIGURED  SCOPE  STATUS\nxxK         e          c           g      s\n",
       {{LucidConfigKey("K"), Entry{"e", "c", "g", "s"}}}},
      {"later row replaces an earlier one", kHeader + "K                   1           c           g\n"
                                                      "K                   2           c           g\n",
       {{LucidConfigKey("K"), Entry{"2", "c", "g", ""}}}},
      {"row reaching the scope start is kept, a shorter row or a footer is not",
       kHeader + "K                   e           c           \nL                   e           c          \nDone.\n",
       {{LucidConfigKey("K"), Entry{"e", "c", "", ""}}}},
      {"multi-byte characters count as one column each",
       kHeader + "Größe.Ä             10 GiB      5 GiB       global  ✓\n",
       {{LucidConfigKey("Größe.Ä"), Entry{"10 GiB", "5 GiB", "global", "✓"}}}},
      {"a combining mark stays with its letter",
       kHeader + "Cafe\xCC\x81                e\xCC\x81           c           global  s\n",
       {{LucidConfigKey("Cafe\xCC\x81"), Entry{"e\xCC\x81", "c", "global", "s"}}}},
      {"a wide emoji sequence is one character",
       kHeader + "K\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB                  e           c           g       s\n",
       {{LucidConfigKey("K\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), Entry{"e", "c", "g", "s"}}}},
  };
  for (const auto& c : cases) {
    const LucidConfigListOutput parsed(c.answer);
    EXPECT_EQ(parsed.entries(), c.expected) << c.name;
    EXPECT_EQ(parsed.output(), c.answer) << c.name;
  }
}

TEST(ConfigListOutput, AnswersWithoutAUsableHeaderAreInvalid) {
  const char* cases[] = {
      "", "\n\n", "\r\n\r\n",
      "KEY NAME EFFECTIVE CONFIGURED STATUS\nK e c s\n",           // no SCOPE
      "Error: not linked\n",
      "STATUS SCOPE CONFIGURED EFFECTIVE KEY NAME\nK e c s t\n",   // titles out of order
      "KEY NAME CONFIGURED EFFECTIVE SCOPE STATUS\n",
  };
  for (const char* answer : cases) {
    test::expectError<LucidLinkCLIError>([&] { LucidConfigListOutput{answer}; },
                                         LucidLinkCLIError::Case::invalidOutput, "Invalid output from lucid");
  }
}

// --- the set or delete verdict ---

TEST(ConfigSetOrDeleteOutput, ClassifiesTheVerdict) {
  const std::pair<std::string, Result> cases[] = {
      {"", Result::failure("Failed to update setting")},
      {"Configuration successfully processed.\n", Result::success()},
      {"An invalid option was passed.\nbut successfully processed anyway", Result::success()},
      {"Error: the filespace password is required.\n", Result::failure("Unrecognized output")},
      {"An invalid option was passed.\nAdditional arguments: --Bad.Key\n", Result::failure("--Bad.Key")},
      {"An invalid option was passed.\r\nAdditional arguments:\t --Bad.Key  \r\n", Result::failure("--Bad.Key")},
      {"An invalid option was passed.\nAdditional arguments:\n", Result::failure("")},
      {"An invalid option was passed.\n  Additional arguments: --x\n", Result::failure("Unknown error")},
      {"An invalid option was passed.\n", Result::failure("Unknown error")},
      {"An invalid option was passed.\nAdditional arguments: a Additional arguments: b\n", Result::failure("a  b")},
  };
  for (const auto& [answer, expected] : cases) {
    const LucidConfigSetOrDeleteOutput parsed(answer);
    EXPECT_EQ(parsed.result(), expected) << answer;
    EXPECT_EQ(parsed.output(), answer);
  }
}

// --- explanation blocks ---

TEST(ConfigExplainOutput, ReadsCompleteBlocksOnly) {
  using Explanation = LucidConfigExplainOutput::KeyExplanation;
  const std::string complete =
      "Key: DataCache.Size\nDescription: Size of the cache.\nValue constraints: 1GiB..1TiB\nDefault value: 5GiB\n";
  struct Case {
    const char* name;
    std::string answer;
    LucidConfigExplainOutput::Explanations expected;
  };
  const Case cases[] = {
      {"one block", complete, {{LucidConfigKey::dataCacheSize, Explanation{"Size of the cache.", "1GiB..1TiB", "5GiB"}}}},
      {"two blocks and blank runs", "\n\n" + complete + "\n\n   \n\nKey: B\nDescription:\nValue constraints: any\nDefault value: \n",
       {{LucidConfigKey::dataCacheSize, Explanation{"Size of the cache.", "1GiB..1TiB", "5GiB"}},
        {LucidConfigKey("B"), Explanation{"", "any", ""}}}},
      {"missing value constraints", "Key: A\nDescription: d\nDefault value: x\n", {}},
      {"leading spaces before a label", "  Key: A\nDescription: d\nValue constraints: c\nDefault value: x\n", {}},
      {"continuation lines are ignored",
       "Key: A\nDescription: first line\n  second line\nValue constraints: c\nDefault value: x\n",
       {{LucidConfigKey("A"), Explanation{"first line", "c", "x"}}}},
      {"CRLF separators do not split blocks: the last value wins",
       "Key: A\r\nDescription: a\r\nValue constraints: c\r\nDefault value: 1\r\n\r\nKey: B\r\nDescription: b\r\n"
       "Value constraints: d\r\nDefault value: 2\r\n",
       {{LucidConfigKey("B"), Explanation{"b", "d", "2"}}}},
      {"later block with the same key wins", complete + "\n" + complete.substr(0, complete.size() - 5) + "9GiB\n",
       {{LucidConfigKey::dataCacheSize, Explanation{"Size of the cache.", "1GiB..1TiB", "9GiB"}}}},
      {"label text inside the value is removed", "Key: Key:A\nDescription: d\nValue constraints: c\nDefault value: x\n",
       {{LucidConfigKey("A"), Explanation{"d", "c", "x"}}}},
      {"nothing", "", {}},
  };
  for (const auto& c : cases) {
    const LucidConfigExplainOutput parsed(c.answer);
    EXPECT_EQ(parsed.explanations(), c.expected) << c.name;
    EXPECT_EQ(parsed.output(), c.answer) << c.name;
  }
}

}  // namespace
}  // namespace velmora
