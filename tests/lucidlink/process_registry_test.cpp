// The client's registry of long-running tool processes, driven with real
// processes of the simulator.
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/process.hpp"
#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using platform::ChildProcess;
using test::kSimulator;

// Opens the registry's entry point, as the live performance runs use it.
class RegistryClient : public LucidLinkCLIUtility {
 public:
  using LucidLinkCLIUtility::LucidLinkCLIUtility;
  using LucidLinkCLIUtility::registerProcess;

  // Registers first, then starts, as a performance run does.
  std::shared_ptr<ChildProcess> startRegistered(std::vector<std::string> words = {"forever"}) {
    auto process = std::make_shared<ChildProcess>(launchPath(), std::move(words));
    registerProcess(process);
    process->start();
    return process;
  }
};

TEST(ProcessRegistry, CancelUnknownIdentifierChangesNothing) {
  RegistryClient client(kSimulator);
  client.cancelProcessWithId(12345);  // empty registry
  auto a = client.startRegistered();
  auto b = client.startRegistered();
  client.cancelProcessWithId(a->pid() + b->pid());
  client.cancelProcessWithId(0);
  EXPECT_EQ(client.runningProcesses(), (std::vector<std::int32_t>{a->pid(), b->pid()}));
  EXPECT_TRUE(a->isRunning());
  EXPECT_TRUE(b->isRunning());
}

TEST(ProcessRegistry, CancelRemovesExactlyThatProcessAndKeepsTheOrder) {
  RegistryClient client(kSimulator);
  auto a = client.startRegistered();
  auto b = client.startRegistered();
  auto c = client.startRegistered();
  client.cancelProcessWithId(b->pid());
  EXPECT_EQ(client.runningProcesses(), (std::vector<std::int32_t>{a->pid(), c->pid()}));
  EXPECT_TRUE(b->waitForExit(10s));
  EXPECT_TRUE(a->isRunning());
  EXPECT_TRUE(c->isRunning());
}

TEST(ProcessRegistry, KillAllStopsEveryProcessAndEmptiesTheRegistry) {
  RegistryClient client(kSimulator);
  auto a = client.startRegistered();
  auto b = client.startRegistered();
  const auto pidA = a->pid();
  client.killAllProcesses();
  EXPECT_TRUE(client.runningProcesses().empty());
  EXPECT_TRUE(a->waitForExit(10s));
  EXPECT_TRUE(b->waitForExit(10s));
  client.cancelProcessWithId(pidA);  // nothing left to find
  EXPECT_TRUE(client.runningProcesses().empty());
}

TEST(ProcessRegistry, DestroyingTheClientStopsItsProcesses) {
  std::shared_ptr<ChildProcess> a;
  std::shared_ptr<ChildProcess> b;
  {
    RegistryClient client(kSimulator);
    a = client.startRegistered();
    b = client.startRegistered();
  }
  EXPECT_TRUE(a->waitForExit(10s));
  EXPECT_TRUE(b->waitForExit(10s));
}

TEST(ProcessRegistry, ProcessThatNeverStartedStaysRegisteredUntilDropped) {
  RegistryClient client("/nonexistent/lucid");
  auto process = std::make_shared<ChildProcess>(client.launchPath(), std::vector<std::string>{"perf"});
  client.registerProcess(process);
  EXPECT_THROW(process->start(), std::system_error);
  EXPECT_EQ(client.runningProcesses(), (std::vector<std::int32_t>{0}));
  client.killAllProcesses();
  EXPECT_TRUE(client.runningProcesses().empty());
  EXPECT_FALSE(process->isRunning());
}

// A process stopped while it is still being started (between registration
// and start) must not be left running with nobody to stop it.
TEST(ProcessRegistry, ProcessStoppedBeforeItStartedIsStoppedOnStart) {
  RegistryClient client(kSimulator);
  auto process = std::make_shared<ChildProcess>(kSimulator, std::vector<std::string>{"forever"});
  client.registerProcess(process);
  client.killAllProcesses();
  process->start();
  EXPECT_TRUE(process->waitForExit(10s));
}

TEST(ProcessRegistry, ConcurrentRegistrationAndCancellationKeepTheRegistryConsistent) {
  RegistryClient client(kSimulator);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&client] {
      for (int i = 0; i < 10; ++i) {
        auto process = client.startRegistered();
        if (i % 2 == 0) client.cancelProcessWithId(process->pid());
        (void)client.runningProcesses();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(client.runningProcesses().size(), 20u);
  client.killAllProcesses();
  EXPECT_TRUE(client.runningProcesses().empty());
}

// Nothing a run or a registered process creates may outlive it: after many
// one-shot runs and many registered-and-killed processes, this process has
// the same descriptors and threads, and no zombie children.
TEST(ProcessRegistry, RunsAndStoppedProcessesLeaveNothingBehind) {
  const GenericCLIUtility tool(kSimulator);
  tool.run({"println", "warm-up"});
  const int threadsAtStart = test::currentResources().threads;
  {
    // A first thread also starts the runtime's own helpers (a sanitizer's
    // background thread): count from after that.
    RegistryClient client(kSimulator);
    auto warmUp = client.startRegistered();
    client.killAllProcesses();
    ASSERT_TRUE(warmUp->waitForExit(30s));
  }
  // The warm-up's monitor thread ends just after the reap; a sanitizer's
  // helper thread stays, which is why this may give up.
  test::eventually([&] { return test::currentResources().threads == threadsAtStart; }, 2s);
  const auto before = test::currentResources();

  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(tool.run({"println", "x"}), "x\n");
  }
  std::vector<std::shared_ptr<ChildProcess>> handles;
  for (int round = 0; round < 20; ++round) {
    RegistryClient client(kSimulator);
    for (int i = 0; i < 10; ++i) handles.push_back(client.startRegistered());
    if (round % 2 == 0) client.killAllProcesses();
    else client.cancelProcessWithId(handles.back()->pid());  // the rest go with the client
  }
  for (const auto& handle : handles) ASSERT_TRUE(handle->waitForExit(30s));
  handles.clear();

  // Monitor threads end just after they have reaped their child.
  EXPECT_TRUE(test::eventually([&] { return test::currentResources() == before; }, 30s))
      << "before " << before << ", after " << test::currentResources();
}

}  // namespace
}  // namespace velmora
