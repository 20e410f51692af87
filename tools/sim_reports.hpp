// The reports of the tool's one-shot commands: list, status and cache,
// answered from the state directory's "instances" file.
#pragma once

#include <string>
#include <vector>

namespace lucid_sim {

struct Instance {
  std::string id, filespace, port, mode, mountPoint;
};

std::vector<Instance> readInstances(const std::string& state);
// The instance table, shaped by the words of the "options" file.
std::string listOutput(const std::vector<Instance>& instances, const std::vector<std::string>& options);
// The instance with identifier `id`, the first one for an empty `id`.
const Instance* findInstance(const std::vector<Instance>& instances, const std::string& id);
std::string statusOutput(const Instance& i);
std::string cacheOutput(const Instance&);

}  // namespace lucid_sim
