// Pieces shared by the desktop backends and the flows that script them.
#pragma once

#include <string>

namespace velmora::platform {

// `text` as an AppleScript string literal, quotes included: each backslash
// and double quote escaped, everything else as it is.
std::string appleScriptString(const std::string& text);

// Starts `opener` with `url` as its one argument and lets it run to its end
// without waiting for it (it is reaped when it ends). False when it cannot
// be started, for instance because it is not installed.
bool launchOpener(const std::string& opener, const std::string& url);

}  // namespace velmora::platform
