// The "config" command: --list, --set, --delete and --explain on a settings
// store per instance and scope (files config-ID-SCOPE of the state directory).
#pragma once

#include <string>
#include <vector>

namespace lucid_sim {

// Runs the config command; `args` are the words after "config". Returns the
// tool's answer.
std::string config(const std::string& state, const std::string& instance, const std::vector<std::string>& args);

}  // namespace lucid_sim
