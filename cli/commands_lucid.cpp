#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>

#include "front_end.hpp"
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

struct LucidOptions {
  std::string tool = kDefaultLucidLaunchPath;
  std::string instance;
};

std::shared_ptr<LucidLinkCLIUtility> makeClient(const LucidOptions& lucid) {
  if (lucid.instance.empty()) return std::make_shared<LucidLinkCLIUtility>(lucid.tool);
  return std::make_shared<LucidLinkCLIUtility>(lucid.tool, LucidFileSpaceInfo{lucid.instance, "", "", ""});
}

json toJson(const LucidFileSpaceInfo& info) {
  return {{"instanceID", info.instanceID}, {"filespace", info.filespace}, {"port", info.port}, {"mode", info.mode}};
}

std::string describe(const std::optional<std::string>& value) { return value ? *value : "-"; }

std::string table(const std::vector<LucidFileSpaceInfo>& records) {
  std::ostringstream out;
  char line[512];
  std::snprintf(line, sizeof line, "%-14s %-28s %-8s %s\n", "INSTANCE ID", "FILESPACE", "PORT", "MODE");
  out << line;
  for (const auto& r : records) {
    std::snprintf(line, sizeof line, "%-14s %-28s %-8s %s\n", r.instanceID.c_str(), r.filespace.c_str(),
                  r.port.c_str(), r.mode.c_str());
    out << line;
  }
  return out.str();
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

int runList(const LucidOptions& lucid, const Options& options) {
  const auto records = makeClient(lucid)->list();
  if (options.json) {
    printJson(recordsJson(records));
  } else {
    printRaw(table(records));
  }
  return 0;
}

int runStatus(const LucidOptions& lucid, const Options& options) {
  const auto status = makeClient(lucid)->statusInfo();
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
      << "Mount point:    " << (status.mountPoint() ? status.mountPoint()->string() : "-") << "\n"
      << "Cloud provider: " << describe(status.cloudProvider()) << "\n"
      << "User:           " << describe(status.userEmail())
      << (status.isAdmin().value_or(false) ? " (administrator)" : "") << "\n";
  printRaw(out.str());
  return 0;
}

int runCache(const LucidOptions& lucid, const Options& options) {
  const auto cache = makeClient(lucid)->cacheInfo();
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

int runWhich(const LucidOptions& lucid, const Options& options, const std::string& path) {
  // The first recalculation is queued at construction, so this waits for it.
  const auto manager = LucidLinkCLIManager::create(3600, lucid.tool);
  const auto client = manager->correspondingCLIFor(std::filesystem::absolute(path));
  if (!client) throw std::runtime_error("No LucidLink instance serves " + path);
  const auto info = client->fsInfo().value();
  if (options.json) {
    printJson(toJson(info));
  } else {
    printRaw(table({info}));
  }
  return 0;
}

// Prints the instance set now and after every change notification, until
// SIGINT or SIGTERM arrives.
int runWatch(const LucidOptions& lucid, const Options& options, double interval) {
  // Blocked here, before the manager starts its threads, so that they inherit
  // the mask and the signal is taken by sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto manager = LucidLinkCLIManager::create(interval, lucid.tool);
  std::mutex printing;
  std::weak_ptr<LucidLinkCLIManager> weak = manager;
  auto print = [&options, &printing](const std::vector<std::shared_ptr<LucidLinkCLIUtility>>& clients,
                                     const char* event) {
    const auto records = recordsOf(clients);
    std::lock_guard lock(printing);
    if (options.json) {
      printRaw(json{{"event", event}, {"clis", recordsJson(records)}}.dump() + "\n");
    } else {
      printRaw(std::string("== ") + event + ": " + std::to_string(records.size()) + " instance(s)\n" +
               table(records));
    }
  };
  auto subscription = manager->objectWillChange().subscribe([weak, print] {
    if (auto self = weak.lock()) print(self->clis(), "changed");
  });
  print(manager->clis(), "start");

  int signal = 0;
  sigwait(&stopSignals, &signal);
  subscription.cancel();
  manager.reset();
  return 0;
}

}  // namespace

void addLucidCommands(CLI::App& app, const Options& options, Action& action) {
  auto lucid = std::make_shared<LucidOptions>();
  auto* group = app.add_subcommand("lucid", "Talk to the LucidLink command-line tool");
  group->add_option("--tool", lucid->tool, "Path of the LucidLink tool")->capture_default_str();
  group->add_option("--instance", lucid->instance, "Instance identifier to address");
  group->require_subcommand(1);

  group->add_subcommand("list", "List the running instances")->callback([lucid, &options, &action] {
    action = [lucid, &options] { return runList(*lucid, options); };
  });
  group->add_subcommand("status", "Show an instance's status")->callback([lucid, &options, &action] {
    action = [lucid, &options] { return runStatus(*lucid, options); };
  });
  group->add_subcommand("cache", "Show an instance's cache state")->callback([lucid, &options, &action] {
    action = [lucid, &options] { return runCache(*lucid, options); };
  });

  auto path = std::make_shared<std::string>();
  auto* which = group->add_subcommand("which", "Find the instance that serves a path");
  which->add_option("PATH", *path, "A file or folder path")->required();
  which->callback([lucid, path, &options, &action] {
    action = [lucid, path, &options] { return runWhich(*lucid, options, *path); };
  });

  auto interval = std::make_shared<double>(2.0);
  auto* watch = group->add_subcommand("watch", "Print the instance set whenever it changes, until Ctrl-C");
  watch->add_option("--interval", *interval, "Seconds between checks")->capture_default_str()->check(
      CLI::PositiveNumber);
  watch->callback([lucid, interval, &options, &action] {
    action = [lucid, interval, &options] { return runWatch(*lucid, options, *interval); };
  });

  addConfigCommands(*group, [lucid] { return makeClient(*lucid); }, options, action);
  addPerfCommand(*group, [lucid] { return makeClient(*lucid); }, options, action);

  auto* raw = group->add_subcommand("raw", "Run any command through the instance client");
  raw->prefix_command();
  raw->footer("Usage: velmora-fsutil [--json] lucid [--tool PATH] [--instance ID] raw WORD...");
  raw->callback([raw, lucid, &options, &action] {
    auto words = raw->remaining();
    action = [words, lucid, &options]() {
      auto client = makeClient(*lucid);
      const std::string output = client->runInstanceSpecificCommand(words);
      if (options.json) {
        printJson({{"instanceID", optionalJson(client->instanceID())}, {"output", output}});
      } else {
        printRaw(output);
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
