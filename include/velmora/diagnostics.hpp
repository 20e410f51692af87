/// @file
/// Where the library's few background warning lines go.
///
/// The library keeps no log. A background activity that cannot report a
/// failure to a caller writes one line of English text instead ("Warning:
/// Skipping malformed line: ...", "Failed to run lucid perf: ...", "Update
/// reciver went out of scope!"). By default each line goes to standard output
/// followed by a line feed; a host may send them elsewhere.
#pragma once

#include <functional>
#include <string_view>

namespace velmora {

/// Receives one warning line, without its line feed. May be called from any
/// thread, from several at once; it is called with no lock of the library
/// held. A warning emitted from inside the sink goes to standard output, so
/// that a sink that warns cannot recurse.
using WarningSink = std::function<void(std::string_view line)>;

/// Installs `sink` and returns the one it replaces; an empty sink restores
/// standard output. A call of the old sink already in progress may finish
/// after this has returned.
WarningSink setWarningSink(WarningSink sink);

/// Hands `line` to the installed sink; should the sink throw, the line goes
/// to standard output instead.
void emitWarning(std::string_view line) noexcept;

}  // namespace velmora
