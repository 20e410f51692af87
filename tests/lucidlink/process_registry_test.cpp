// The registry of a client's long-running processes, with real processes of
// the simulator.
#include "lucidlink/process_registry.hpp"

#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/process.hpp"
#include "support/test_support.hpp"

namespace velmora::detail {
namespace {

using namespace std::chrono_literals;
using platform::ChildProcess;
using test::kSimulator;

using Ids = std::vector<std::int32_t>;

// Registers first, then starts, as a performance run does.
std::shared_ptr<ChildProcess> startRegistered(ProcessRegistry& registry, std::vector<std::string> words = {"forever"}) {
  auto process = std::make_shared<ChildProcess>(kSimulator, std::move(words));
  registry.add(process);
  process->start();
  return process;
}

TEST(ProcessRegistry, CancelStopsOnlyTheNamedProcessAndDestructionStopsTheRest) {
  std::shared_ptr<ChildProcess> a, b, c;
  {
    ProcessRegistry registry;
    registry.cancel(12345);  // empty registry
    a = startRegistered(registry);
    b = startRegistered(registry);
    c = startRegistered(registry);
    registry.cancel(a->pid() + b->pid() + c->pid());
    registry.cancel(0);
    EXPECT_EQ(registry.processIdentifiers(), (Ids{a->pid(), b->pid(), c->pid()}));

    registry.cancel(b->pid());
    EXPECT_EQ(registry.processIdentifiers(), (Ids{a->pid(), c->pid()}));  // in their order
    EXPECT_TRUE(b->waitForExit(60s));
    EXPECT_TRUE(a->isRunning());
    EXPECT_TRUE(c->isRunning());
  }
  EXPECT_TRUE(a->waitForExit(60s));
  EXPECT_TRUE(c->waitForExit(60s));
}

// Chooses the next pid through the kernel's pid counter (Linux, privileged).
bool setNextPid(int pid) {
  std::ofstream counter("/proc/sys/kernel/ns_last_pid");
  counter << pid - 1;
  counter.flush();
  return static_cast<bool>(counter);
}

// An entry whose process has been reaped keeps its pid in the registry; once
// the system hands that pid to a new run, cancelling it must stop the live
// run, not drop the dead entry.
TEST(ProcessRegistry, ReusedIdentifierCancelsTheRunningProcess) {
  ProcessRegistry registry;
  auto dead = startRegistered(registry, {"exit", "0"});
  ASSERT_TRUE(dead->waitForExit(60s));
  const int pid = dead->pid();
  if (!setNextPid(pid)) GTEST_SKIP() << "choosing a pid needs CAP_SYS_ADMIN";

  std::shared_ptr<ChildProcess> live;
  for (int attempt = 0; attempt < 50 && !live; ++attempt) {
    setNextPid(pid);  // other processes of the machine may take it first: try again
    auto candidate = startRegistered(registry);
    if (candidate->pid() == pid) {
      live = candidate;
    } else {
      registry.cancel(candidate->pid());
    }
  }
  ASSERT_TRUE(live) << "pid " << pid << " could not be had again";
  EXPECT_EQ(registry.processIdentifiers(), (Ids{pid, pid}));

  registry.cancel(pid);
  EXPECT_TRUE(live->waitForExit(60s));
  EXPECT_EQ(registry.processIdentifiers(), Ids{pid});  // the dead entry is left
}

TEST(ProcessRegistry, ConcurrentChangesKeepItConsistent) {
  ProcessRegistry registry;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&registry] {
      for (int i = 0; i < 10; ++i) {
        auto process = startRegistered(registry);
        if (i % 2 == 0) registry.cancel(process->pid());
        (void)registry.processIdentifiers();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(registry.processIdentifiers().size(), 20u);
  registry.stopAll();
  EXPECT_TRUE(registry.processIdentifiers().empty());
}

}  // namespace
}  // namespace velmora::detail
