#include "velmora/diagnostics.hpp"

#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// The sink is called without the library's lock, so a sink that warns (or
// throws) cannot deadlock; what it emits, and a line it failed to take, go to
// standard output.
TEST(WarningSink, SinkThatWarnsOrThrowsNeitherDeadlocksNorLosesTheLine) {
  std::vector<std::string> seen;
  auto previous = setWarningSink([&](std::string_view line) {
    seen.emplace_back(line);
    if (line == "nested") emitWarning("from inside the sink");
    if (line == "throwing") throw std::runtime_error("sink failed");
  });
  auto done = std::async(std::launch::async, [] {
    testing::internal::CaptureStdout();
    emitWarning("nested");
    emitWarning("throwing");
    return testing::internal::GetCapturedStdout();
  });
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "a sink that warns deadlocked";
  EXPECT_EQ(done.get(), "from inside the sink\nthrowing\n");
  setWarningSink(std::move(previous));
  EXPECT_EQ(seen, (std::vector<std::string>{"nested", "throwing"}));
}

}  // namespace
}  // namespace velmora
