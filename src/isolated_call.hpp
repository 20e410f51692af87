// Calling out to application code from the library's own threads.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "velmora/diagnostics.hpp"

namespace velmora::detail {

inline void warnAboutThrow(std::string_view who, std::string_view what) noexcept {
  try {
    emitWarning("Warning: " + std::string(who) + " threw: " + std::string(what));
  } catch (...) {
    // Out of memory for the text: nothing more can be done.
  }
}

// Calls `callback`; an exception it throws is reported as one warning line
// ("Warning: <who> threw: <what>") instead of reaching the caller, so that one
// misbehaving callback never stops delivery to the others. Call it with no
// lock held.
template <typename Callback>
void callIsolated(std::string_view who, Callback&& callback) noexcept {
  try {
    std::forward<Callback>(callback)();
  } catch (const std::exception& error) {
    warnAboutThrow(who, error.what());
  } catch (...) {
    warnAboutThrow(who, "an exception that is not a std::exception");
  }
}

}  // namespace velmora::detail
