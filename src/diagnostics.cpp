#include "velmora/diagnostics.hpp"

#include <cstdio>
#include <mutex>
#include <utility>

namespace velmora {

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

WarningSink& installedSink() {
  static WarningSink sink;
  return sink;
}

}  // namespace

WarningSink setWarningSink(WarningSink sink) {
  std::lock_guard lock(sinkMutex());
  return std::exchange(installedSink(), std::move(sink));
}

void emitWarning(std::string_view line) {
  std::lock_guard lock(sinkMutex());
  if (installedSink()) {
    installedSink()(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace velmora
