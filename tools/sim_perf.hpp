// The "perf" command: a live counter table for the requested layers and
// metrics, shaped by the perf words of the "options" file.
#pragma once

#include <string>
#include <vector>

namespace lucid_sim {

// Writes the header and the sample lines; `args` are the words after "perf".
void runPerf(const std::string& state, const std::vector<std::string>& args);

}  // namespace lucid_sim
