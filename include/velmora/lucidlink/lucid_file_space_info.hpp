// One running LucidLink instance as the tool lists it.
#pragma once

#include <string>

namespace velmora {

struct LucidFileSpaceInfo {
  std::string instanceID;
  std::string filespace;
  std::string port;
  std::string mode;

  friend bool operator==(const LucidFileSpaceInfo&, const LucidFileSpaceInfo&) = default;
};

}  // namespace velmora
