#include "velmora/diagnostics.hpp"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace velmora {

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Shared, so that a call in progress keeps its sink while another is installed.
std::shared_ptr<const WarningSink>& installedSink() {
  static std::shared_ptr<const WarningSink> sink;
  return sink;
}

thread_local bool insideSink = false;

void writeToStandardOutput(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

WarningSink setWarningSink(WarningSink sink) {
  auto replacement = sink ? std::make_shared<const WarningSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const WarningSink> previous;
  {
    std::lock_guard lock(sinkMutex());
    previous = std::exchange(installedSink(), std::move(replacement));
  }
  return previous ? *previous : WarningSink{};
}

void emitWarning(std::string_view line) noexcept {
  std::shared_ptr<const WarningSink> sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = installedSink();
  }
  if (!sink || insideSink) {
    writeToStandardOutput(line);
    return;
  }
  insideSink = true;
  struct Reset {
    ~Reset() { insideSink = false; }
  } reset;
  try {
    (*sink)(line);
  } catch (...) {
    writeToStandardOutput(line);  // a failing sink loses nothing
  }
}

}  // namespace velmora
