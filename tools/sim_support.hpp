// Output, files and small text helpers shared by the simulator's parts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lucid_sim {

// Writes all of `bytes` to standard output at once; exits when the reader is gone.
void writeAll(std::string_view bytes);
// `text` as a JSON string literal.
std::string jsonQuoted(std::string_view text);
void sleepFor(double seconds);

// The state directory: $LUCID_SIM_STATE, else the launch path with ".d".
std::string stateDirectory(const char* launchPath);
// The file's whole content; empty when it cannot be read.
std::string readFile(const std::string& path);
// The white-space separated words of `text`.
std::vector<std::string> words(const std::string& text);
// `text` followed by spaces up to `width` bytes, and at least one.
std::string padded(const std::string& text, std::size_t width);
// The number of user-perceived characters of UTF-8 `text`: code points, less
// those that join the character before them (combining marks, variation
// selectors, joiners). A close approximation of grapheme clusters that needs
// no Unicode tables, enough for the values tests store.
std::size_t characterCount(std::string_view text);
// `text` followed by spaces up to `width` characters, and at least one.
std::string paddedToCharacters(const std::string& text, std::size_t width);
// The value of option `name` among the words of the options file: "1" for a
// bare word, the text after "=" for "name=value", else `fallback`.
std::string optionValue(const std::vector<std::string>& options, const std::string& name, const std::string& fallback);

}  // namespace lucid_sim
