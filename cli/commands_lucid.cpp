#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

std::shared_ptr<LucidLinkCLIUtility> makeClient(const Options& options) {
  if (options.instance.empty()) return std::make_shared<LucidLinkCLIUtility>(options.tool);
  return std::make_shared<LucidLinkCLIUtility>(options.tool, LucidFileSpaceInfo{options.instance, "", "", ""});
}

json toJson(const LucidFileSpaceInfo& info) {
  return {{"instanceID", info.instanceID}, {"filespace", info.filespace}, {"port", info.port}, {"mode", info.mode}};
}

std::string describe(const std::optional<std::string>& value) { return value ? escapedForTerminal(*value) : "-"; }

std::string table(const std::vector<LucidFileSpaceInfo>& records) {
  std::vector<std::vector<std::string>> rows = {{"INSTANCE ID", "FILESPACE", "PORT", "MODE"}};
  for (const auto& r : records) rows.push_back({r.instanceID, r.filespace, r.port, r.mode});
  return textTable(rows);
}

std::vector<LucidFileSpaceInfo> recordsOf(const std::vector<std::shared_ptr<LucidLinkCLIUtility>>& clients) {
  std::vector<LucidFileSpaceInfo> records;
  for (const auto& client : clients) {
    if (auto info = client->fsInfo()) records.push_back(*info);
  }
  std::sort(records.begin(), records.end(),
            [](const auto& a, const auto& b) { return a.instanceID < b.instanceID; });
  return records;
}

json recordsJson(const std::vector<LucidFileSpaceInfo>& records) {
  json list = json::array();
  for (const auto& record : records) list.push_back(toJson(record));
  return list;
}

int runList(const LucidLinkCLIUtility& client, const Options& options) {
  const auto records = client.list();
  if (options.json) {
    printJson(recordsJson(records));
  } else {
    printRaw(table(records));
  }
  return 0;
}

int runStatus(const LucidLinkCLIUtility& client, const Options& options) {
  const auto status = client.statusInfo();
  if (options.json) {
    printJson({{"mountPoint", optionalJson(status.mountPoint())},
               {"cloudProvider", optionalJson(status.cloudProvider())},
               {"filespaceName", optionalJson(status.filespaceName())},
               {"region", optionalJson(status.region())},
               {"isAdmin", optionalJson(status.isAdmin())},
               {"provider", optionalJson(status.provider())},
               {"userEmail", optionalJson(status.userEmail())}});
    return 0;
  }
  std::ostringstream out;
  out << "Filespace:      " << describe(status.filespaceName()) << "\n"
      << "Mount point:    " << (status.mountPoint() ? escapedForTerminal(status.mountPoint()->string()) : "-") << "\n"
      << "Cloud provider: " << describe(status.cloudProvider()) << "\n"
      << "User:           " << describe(status.userEmail())
      << (status.isAdmin().value_or(false) ? " (administrator)" : "") << "\n";
  printRaw(out.str());
  return 0;
}

int runCache(const LucidLinkCLIUtility& client, const Options& options) {
  const auto cache = client.cacheInfo();
  if (options.json) {
    printJson({{"cacheLimit", optionalJson(cache.cacheLimit())},
               {"sizeOnDisk", optionalJson(cache.sizeOnDisk())},
               {"bytesRemainingToUpload", optionalJson(cache.bytesRemainingToUpload())}});
    return 0;
  }
  std::ostringstream out;
  out << "Cache limit:      " << describe(cache.cacheLimit()) << "\n"
      << "Size on disk:     " << describe(cache.sizeOnDisk()) << "\n"
      << "Remaining upload: " << describe(cache.bytesRemainingToUpload()) << "\n";
  printRaw(out.str());
  return 0;
}

int runWhich(const Options& options, const std::string& path) {
  // A stop signal stops the manager's tool, also one that comes while the
  // manager is being made.
  std::mutex mutex;
  std::shared_ptr<LucidLinkCLIManager> manager;
  platform::StopSignals stopSignals([&](int) {
    std::lock_guard lock(mutex);
    if (manager) manager->stop();
  });
  {
    auto made = LucidLinkCLIManager::create(3600, options.tool);
    stopSignals.wake();
    std::lock_guard lock(mutex);
    manager = std::move(made);
    if (stopSignals.wait() != 0) manager->stop();
  }
  // The first recalculation is queued at construction, so this waits for it.
  const auto client = manager->correspondingCLIFor(std::filesystem::absolute(path));
  if (const int signal = stopSignals.wait()) return exitForSignal(signal);
  if (!client) throw CommandError("CommandError", "noInstanceServesPath", "No LucidLink instance serves " + path);
  const auto info = client->fsInfo().value();
  if (options.json) {
    printJson(toJson(info));
  } else {
    printRaw(table({info}));
  }
  return 0;
}

// Prints the instance set at start and after change notifications, until a
// stop signal arrives or standard output fails; then stops the manager, and
// returns once no tool of it runs.
int runWatch(const Options& options, double interval) {
  platform::StopSignals stopSignals;  // before the manager starts its threads
  const auto manager = LucidLinkCLIManager::create(interval, options.tool);
  // Shared with the subscriber, whose call in progress may outlast this function.
  struct Changes {
    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false;
    bool stopping = false;
  };
  const auto changes = std::make_shared<Changes>();
  auto subscription = manager->objectWillChange().subscribe([changes] {
    std::lock_guard lock(changes->mutex);
    changes->pending = true;
    changes->changed.notify_all();
  });
  // clis() waits for a recalculation in progress, its tool included: asked on
  // a thread of its own, so that a stop signal is taken while the tool hangs.
  std::exception_ptr failure;
  std::thread printer([&] {
    try {
      for (const char* event = "start";; event = "changed") {
        const auto records = recordsOf(manager->clis());
        std::unique_lock lock(changes->mutex);
        if (changes->stopping) return;
        lock.unlock();
        if (options.json) {
          printRaw(json{{"event", event}, {"clis", recordsJson(records)}}.dump() + "\n");
        } else {
          printRaw(std::string("== ") + event + ": " + std::to_string(records.size()) + " instance(s)\n" +
                   table(records));
        }
        lock.lock();
        changes->changed.wait(lock, [&] { return changes->pending || changes->stopping; });
        if (changes->stopping) return;
        changes->pending = false;
      }
    } catch (...) {
      failure = std::current_exception();
      stopSignals.wake();
    }
  });
  const int signal = stopSignals.wait();
  manager->stop();  // the tool running now is stopped, and no other starts
  subscription.cancel();
  {
    std::lock_guard lock(changes->mutex);
    changes->stopping = true;
    changes->changed.notify_all();
  }
  printer.join();
  (void)manager->clis();  // waits for the recalculation in progress, and so for its tool
  if (failure) std::rethrow_exception(failure);
  return exitForSignal(signal);
}

}  // namespace

void addLucidCommands(CLI::App& app, const Options& options, Action& action) {
  auto* group = app.add_subcommand("lucid", "Talk to the LucidLink command-line tool (see --tool, --instance)");
  group->require_subcommand(1);

  struct Report {
    const char* name;
    const char* help;
    int (*run)(const LucidLinkCLIUtility&, const Options&);
  };
  for (const Report& report : {Report{"list", "List the running instances", runList},
                               Report{"status", "Show an instance's status", runStatus},
                               Report{"cache", "Show an instance's cache state", runCache}}) {
    group->add_subcommand(report.name, report.help)->callback([run = report.run, &options, &action] {
      action = [run, &options] {
        const auto client = makeClient(options);
        return passingStopsOn(*client, [&] { return run(*client, options); });
      };
    });
  }

  auto path = std::make_shared<std::string>();
  auto* which = group->add_subcommand("which", "Find the instance that serves a path");
  which->add_option("PATH", *path, "A file or folder path")->required();
  which->callback([path, &options, &action] {
    action = [path, &options] { return runWhich(options, *path); };
  });

  auto interval = std::make_shared<double>(2.0);
  auto* watch = group->add_subcommand("watch", "Print the instance set whenever it changes, until Ctrl-C");
  watch->add_option("--interval", *interval, "Seconds between checks, at least 0.1")->capture_default_str();
  watch->callback([interval, &options, &action] {
    // A finite number, and not so small that the tool is started back to back.
    if (!(std::isfinite(*interval) && *interval >= 0.1)) {
      std::ostringstream text;
      text << "expected a number of seconds, at least 0.1; got " << *interval;
      throw CLI::ValidationError("--interval", text.str());
    }
    action = [interval, &options] {
      return reportingOnOneLine(options.json, [&] { return runWatch(options, *interval); });
    };
  });

  addConfigCommands(*group, [&options] { return makeClient(options); }, options, action);
  addPerfCommand(*group, [&options] { return makeClient(options); }, options, action);

  auto* raw = group->add_subcommand("raw", "Run any command through the instance client and exit with the tool's status");
  raw->prefix_command();
  raw->fallthrough(false);
  raw->footer("Usage: velmora-fsutil [--json] lucid [--tool PATH] [--instance ID] raw WORD...\n"
              "Exit status: the tool's own (128+N when signal N ended it); 1 when it cannot be started.");
  raw->callback([raw, &options, &action] {
    auto words = raw->remaining();
    action = [words, &options]() {
      // The client's instance prefix, then the words.
      std::vector<std::string> command;
      if (!options.instance.empty()) command = {"--instance", options.instance};
      const auto client = makeClient(options);
      return passThrough(*client, command, words, options,
                         {{"instanceID", options.instance.empty() ? json(nullptr) : json(options.instance)}});
    };
  });
}

}  // namespace velmora::cli
