// Streamed runs and runs under a control, with real tools: every byte as it
// comes, the signal itself reaching the tool from another thread, and no
// tool left behind however the run ends. Runs under ThreadSanitizer in CI.
#include <csignal>
#include <future>
#include <system_error>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {
namespace {

using test::kSimulator;

TEST(RunStreaming, PassesEveryByteAndHowTheToolEnded) {
  struct Row {
    std::vector<std::string> words;
    std::string output;  // its size only, for a large one
    CLIExitStatus status;
  };
  const Row rows[] = {
      {{"print-hex", "ff00c0af1b", "exit", "3"}, std::string("\xff\0\xc0\xaf\x1b", 5), {false, 3}},
      {{"print-mib", "9", "raise", "9"}, std::string(9u << 20, '.'), {true, SIGKILL}},
  };
  for (const auto& row : rows) {
    std::string seen;
    const auto status = GenericCLIUtility(kSimulator).runStreaming(row.words, {}, [&](std::string_view b) { seen += b; });
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(seen.size(), row.output.size());
    EXPECT_TRUE(row.output.size() > 100 || seen == row.output);
  }
}

// The signal is sent from another thread once the tool has written (so the
// output came before the end), and reaches the tool as it is, also one the
// host ignores (as under nohup); a tool that ignores it is killed, and one
// that leaves a process holding its pipe ends the run all the same.
TEST(RunStreaming, ControlSignalsTheToolItselfAndTheRunEndsWithIt) {
  struct sigaction ignore {}, saved{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGHUP, &ignore, &saved);
  struct Row {
    std::string tool;
    std::vector<std::string> words;
    int signal;
    CLIExitStatus status;
  };
  const Row rows[] = {
      {kSimulator, {"println", "ready", "forever"}, SIGHUP, {true, SIGHUP}},
      {kSimulator, {"ignore-term", "println", "ready", "forever"}, SIGTERM, {true, SIGKILL}},
      {"/bin/sh", {"-c", "sleep 600 2>/dev/null & echo $!; wait"}, SIGINT, {true, SIGINT}},
  };
  for (const auto& row : rows) {
    const auto before = test::currentResources();
    GenericCLIUtility tool(row.tool);
    tool.setRunControl(std::make_shared<CLIRunControl>());
    std::promise<void> ready;
    auto signalling = std::async(std::launch::async, [&] {
      ready.get_future().wait();
      tool.runControl()->signal(row.signal);
    });
    std::string seen;
    const auto status = tool.runStreaming(row.words, {}, [&](std::string_view bytes) {
      if (seen.empty()) ready.set_value();
      seen += bytes;
    });
    signalling.get();
    EXPECT_EQ(status, row.status) << row.words.back();
    if (row.tool == "/bin/sh") ::kill(std::stoi(seen), SIGKILL);  // the process left holding the pipe
    // The run starts no thread (the sanitizer's own may have appeared by now).
    const auto after = test::currentResources();
    EXPECT_TRUE(after.descriptors <= before.descriptors && !after.unreapedChild) << after << " vs " << before;
  }
  ::sigaction(SIGHUP, &saved, nullptr);
}

// A signalled control starts no tool, through any run; a sink that fails
// stops the tool and its error comes back once the tool is gone.
TEST(RunStreaming, SignalledControlStartsNothingAndAFailingSinkStopsTheTool) {
  test::SimulatedTool simulator;
  LucidLinkCLIUtility client(simulator.path());
  client.setRunControl(std::make_shared<CLIRunControl>());
  client.runControl()->stop();
  for (const auto& run : std::vector<std::function<void()>>{
           [&] { client.list(); }, [&] { client.runStreaming({"list"}, {}, {}); }}) {
    try {
      run();
      ADD_FAILURE() << "expected ECANCELED";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(ECANCELED, std::system_category()));
    }
  }
  EXPECT_EQ(simulator.callCount("list"), 0);

  const auto before = test::currentResources();
  EXPECT_THROW(GenericCLIUtility(kSimulator).runStreaming({"print-mib", "100000"}, {},
                                                         [](std::string_view) { throw std::runtime_error("full"); }),
               std::runtime_error);
  EXPECT_TRUE(test::nothingLeakedSince(before)) << test::currentResources();
}

// A time limit ends a tool that outlasts it, however the run takes its
// output and whether or not the tool heeds the terminate request, and the
// run fails with ETIMEDOUT once the tool is gone; a tool within it is
// untouched.
TEST(RunTimeLimit, EndsTheToolAndFailsWithETIMEDOUT) {
  struct Row {
    std::vector<std::string> words;
    bool streaming;
    bool underControl;
    bool timesOut;
  };
  const Row rows[] = {
      {{"println", "ready", "forever"}, false, false, true},
      {{"println", "ready", "forever"}, true, false, true},
      {{"ignore-term", "println", "ready", "forever"}, false, true, true},
      {{"println", "ready", "exit", "4"}, false, false, false},
      {{"println", "ready", "exit", "4"}, true, true, false},
  };
  for (const auto& row : rows) {
    const auto before = test::currentResources();
    GenericCLIUtility tool(kSimulator);
    // Long enough for a slowed-down tool (a sanitizer, a loaded machine) to
    // have written its first line.
    tool.setTimeLimit(std::chrono::milliseconds(row.timesOut ? 1500 : 60000));
    if (row.underControl) tool.setRunControl(std::make_shared<CLIRunControl>());
    std::string seen;
    const auto run = [&] {
      if (row.streaming) return tool.runStreaming(row.words, {}, [&](std::string_view bytes) { seen += bytes; });
      CLIRunResult result = tool.runWithExitStatus(row.words);
      seen = result.output;
      return result.exitStatus;
    };
    try {
      EXPECT_EQ(run(), (CLIExitStatus{false, 4}));
      EXPECT_FALSE(row.timesOut) << row.words.front();
    } catch (const std::system_error& error) {
      EXPECT_TRUE(row.timesOut) << error.what();
      EXPECT_EQ(error.code(), std::error_code(ETIMEDOUT, std::system_category()));
      EXPECT_EQ(seen, row.streaming ? "ready\n" : "");
    }
    EXPECT_TRUE(test::nothingLeakedSince(before)) << test::currentResources();
  }
}

}  // namespace
}  // namespace velmora
