// Calls that report failure through errno: the one way to throw their error
// and the one way to retry them when a signal interrupted them. Header-only
// and free of OS headers, so that the front end's terminal code shares it
// without seeing the rest of the library's internals.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>
#include <type_traits>

namespace velmora::platform {

// Throws std::system_error with `error` (an errno value) in the system
// category, the category callers compare against, and `what` as its text.
[[noreturn]] inline void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::system_category(), what);
}

// Calls `call` (a system call that returns -1 and sets errno on failure)
// until it is not interrupted by a signal, and returns its last result;
// errno is that call's. Other failures, EAGAIN included, are the caller's.
template <typename Call>
auto retryOnInterrupt(Call&& call) -> std::invoke_result_t<Call&> {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

}  // namespace velmora::platform
