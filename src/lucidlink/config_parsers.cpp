// Parsers of the "config" command's three answers.
#include <array>
#include <optional>

#include "lucidlink/text.hpp"
#include "velmora/lucidlink/lucid_config.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"

namespace velmora {

namespace {

using detail::isBlank;
using detail::isNewline;
using detail::isWhitespaceOrNewline;
using detail::trim;

std::string trimmedSpaces(std::string_view text) { return std::string(trim(text, isBlank)); }

bool beginsWith(std::string_view line, std::string_view label) { return line.substr(0, label.size()) == label; }

// Number of user-perceived characters of `text` that begin before byte `offset`.
std::size_t characterIndex(const std::vector<std::size_t>& starts, std::size_t offset) {
  std::size_t index = 0;
  while (index + 1 < starts.size() && starts[index] < offset) ++index;
  return index;
}

}  // namespace

LucidConfigListOutput::LucidConfigListOutput(std::string output) : output_(std::move(output)) {
  const LucidLinkCLIError invalid(LucidLinkCLIError::Case::invalidOutput);
  auto lines = detail::splitNonEmpty(output_, isNewline);
  if (lines.empty()) throw invalid;

  // Column starts, in characters from the start of the untrimmed header.
  const std::string_view header = lines.front();
  const std::array<std::string_view, 5> titles = {"KEY NAME", "EFFECTIVE", "CONFIGURED", "SCOPE", "STATUS"};
  const auto headerStarts = detail::graphemeStarts(header);
  std::array<std::size_t, 5> columns{};
  for (std::size_t i = 0; i < titles.size(); ++i) {
    const std::size_t found = header.find(titles[i]);
    if (found == std::string_view::npos) throw invalid;
    columns[i] = characterIndex(headerStarts, found);
    if (i > 0 && columns[i] <= columns[i - 1]) throw invalid;  // titles out of order
  }

  for (std::size_t row = 1; row < lines.size(); ++row) {
    const std::string_view line = lines[row];
    const auto starts = detail::graphemeStarts(line);
    const std::size_t characters = starts.size() - 1;
    if (characters < columns[3]) continue;  // ends before SCOPE: a footer or a notice, not a setting
    // Each piece runs from its column start to the next one, both clamped to
    // the row's end: an empty last column is not padded by the tool.
    auto piece = [&](std::size_t from, std::size_t to) {
      from = std::min(from, characters);
      to = std::min(to, characters);
      return trimmedSpaces(line.substr(starts[from], starts[to] - starts[from]));
    };
    std::string key = piece(columns[0], columns[1]);
    if (key.empty()) continue;
    entries_.insert_or_assign(LucidConfigKey(std::move(key)),
                              ConfigEntry{piece(columns[1], columns[2]), piece(columns[2], columns[3]),
                                          piece(columns[3], columns[4]), piece(columns[4], characters)});
  }
}

namespace {

LucidConfigSetOrDeleteOutput::OperationResult verdict(std::string_view answer) {
  using Result = LucidConfigSetOrDeleteOutput::OperationResult;
  if (answer.empty()) return Result::failure("Failed to update setting");
  if (answer.find("successfully processed") != std::string_view::npos) return Result::success();
  if (answer.find("An invalid option was passed.") == std::string_view::npos) {
    return Result::failure("Unrecognized output");
  }
  constexpr std::string_view label = "Additional arguments:";
  for (const std::string_view line : detail::split(answer, isNewline)) {
    if (beginsWith(line, label)) return Result::failure(trimmedSpaces(detail::removeAll(line, label)));
  }
  return Result::failure("Unknown error");
}

}  // namespace

LucidConfigSetOrDeleteOutput::LucidConfigSetOrDeleteOutput(std::string output)
    : output_(std::move(output)), result_(verdict(output_)) {}

LucidConfigExplainOutput::LucidConfigExplainOutput(std::string output) : output_(std::move(output)) {
  const std::string_view answer = output_;
  std::size_t start = 0;
  while (start <= answer.size()) {
    std::size_t end = answer.find("\n\n", start);
    if (end == std::string_view::npos) end = answer.size();
    const std::string_view block = answer.substr(start, end - start);
    start = end + 2;
    if (trim(block, isWhitespaceOrNewline).empty()) continue;

    constexpr std::array<std::string_view, 4> labels = {"Key:", "Description:", "Value constraints:",
                                                        "Default value:"};
    std::array<std::optional<std::string>, 4> fields;
    for (const std::string_view line : detail::split(block, isNewline)) {
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (beginsWith(line, labels[i])) {
          fields[i] = trimmedSpaces(detail::removeAll(line, labels[i]));
          break;
        }
      }
    }
    if (!fields[0] || !fields[1] || !fields[2] || !fields[3]) continue;
    explanations_.insert_or_assign(LucidConfigKey(std::move(*fields[0])),
                                   KeyExplanation{std::move(*fields[1]), std::move(*fields[2]), std::move(*fields[3])});
  }
}

}  // namespace velmora
