/// @file
/// One running LucidLink instance as the tool lists it.
#pragma once

#include <string>

namespace velmora {

/// One row of the tool's "list" table, its four columns as text.
struct LucidFileSpaceInfo {
  /// INSTANCE ID
  std::string instanceID;
  /// FILESPACE
  std::string filespace;
  /// PORT
  std::string port;
  /// MODE
  std::string mode;

  /// Equal when every column is.
  friend bool operator==(const LucidFileSpaceInfo&, const LucidFileSpaceInfo&) = default;
};

}  // namespace velmora
