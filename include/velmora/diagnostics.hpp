// Where the library's few background warning lines go.
//
// The library keeps no log. A background activity that cannot report a
// failure to a caller writes one line of English text instead ("Warning:
// Skipping malformed line: ...", "Failed to run lucid perf: ...", "Update
// reciver went out of scope!"). By default each line goes to standard output
// followed by a line feed; a host may send them elsewhere.
#pragma once

#include <functional>
#include <string_view>

namespace velmora {

// Receives one warning line, without its line feed. May be called from any
// thread, one call at a time.
using WarningSink = std::function<void(std::string_view line)>;

// Installs `sink` and returns the one it replaces; an empty sink restores
// standard output.
WarningSink setWarningSink(WarningSink sink);

// Hands `line` to the installed sink.
void emitWarning(std::string_view line);

}  // namespace velmora
