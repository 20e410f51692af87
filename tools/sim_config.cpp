#include "sim_config.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "sim_support.hpp"

namespace lucid_sim {

namespace {

// The settings the simulated tool knows, with their defaults and meaning.
struct KnownSetting {
  const char* key;
  const char* defaultValue;
  const char* description;
  const char* constraints;
};
const KnownSetting kKnownSettings[] = {
    {"DataCache.Location", "/var/cache/lucid", "Folder that holds the local data cache.", "An absolute path"},
    {"DataCache.Size", "5GiB", "Size of the local data cache.", "A size such as 512MiB or 10GiB"},
    {"FileSystem.ForbidSpecialCharacters", "false", "Refuse file names that other systems cannot store.",
     "true or false"},
    {"FileSystem.MountPointOSX", "/Volumes/filespace", "Where the filespace is mounted on macOS.", "An absolute path"},
    {"ObjectScheduler.MaxUploadRate", "0", "Upper limit of the upload rate; 0 means none.",
     "A rate such as 10MiB/s, or 0"},
};

const KnownSetting* knownSetting(const std::string& key) {
  for (const auto& setting : kKnownSettings) {
    if (key == setting.key) return &setting;
  }
  return nullptr;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

std::string settingsFile(const std::string& state, const std::string& instance, const std::string& scope) {
  return state + "/config-" + (instance.empty() ? "default" : instance) + "-" + scope;
}

Settings readSettings(const std::string& file) {
  Settings settings;
  std::istringstream lines(readFile(file));
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) settings.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return settings;
}

// Holds the store's lock file (FILE.lock) for as long as it lives, so that
// concurrent calls change the store one after the other, each reading what
// the one before wrote.
class StoreLock {
 public:
  explicit StoreLock(const std::string& file)
      : fd_(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Written whole under a name of this process's own, then renamed over the
// store: a reader sees the old settings or the new ones, never a part. False
// when anything failed; the store is then unchanged.
bool writeSettings(const std::string& file, const Settings& settings) {
  const std::string temporary = file + ".tmp." + std::to_string(::getpid());
  std::ofstream out(temporary, std::ios::trunc);
  for (const auto& [key, value] : settings) out << key << "=" << value << "\n";
  out.close();
  if (out.fail() || std::rename(temporary.c_str(), file.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

const std::string* findSetting(const Settings& settings, const std::string& key) {
  for (const auto& [k, v] : settings) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::string configList(const std::string& state, const std::string& instance, const std::string& onlyScope) {
  const Settings local = readSettings(settingsFile(state, instance, "local"));
  const Settings global = readSettings(settingsFile(state, instance, "global"));
  using Row = std::array<std::string, 5>;  // key, effective, configured, scope, status
  std::vector<Row> rows;
  for (const auto& known : kKnownSettings) {
    const std::string* inLocal = findSetting(local, known.key);
    const std::string* inGlobal = findSetting(global, known.key);
    std::string effective = known.defaultValue, configured, scope = "default";
    if (inGlobal) effective = *inGlobal, configured = *inGlobal, scope = "global";
    if (inLocal) effective = *inLocal, configured = *inLocal, scope = "local";
    if (!onlyScope.empty()) {
      const std::string* inScope = onlyScope == "local" ? inLocal : inGlobal;
      configured = inScope ? *inScope : "";
    }
    std::string status = std::string(known.key) == "DataCache.Location" && scope != "default" ? "restart required" : "";
    rows.push_back({known.key, effective, configured, scope, status});
  }

  // Columns as wide as their longest value, counted in characters as readers
  // of the table count them, so that long and non-ASCII values stay in place.
  const Row titles = {"KEY NAME", "EFFECTIVE", "CONFIGURED", "SCOPE", "STATUS"};
  std::array<std::size_t, 4> widths = {37, 20, 20, 9};
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < widths.size(); ++column) {
      widths[column] = std::max(widths[column], characterCount(row[column]) + 2);
    }
  }
  auto line = [&widths](const Row& row) {
    std::string text;
    for (std::size_t column = 0; column < widths.size(); ++column) text += paddedToCharacters(row[column], widths[column]);
    // Like the real tool: an empty last column is not padded.
    if (row[4].empty()) return text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
    return text + row[4] + "\n";
  };
  std::string out = line(titles);
  for (const auto& row : rows) out += line(row);
  return out;
}

std::string invalidOption(const std::string& option) {
  return "An invalid option was passed.\nAdditional arguments: " + option + "\n";
}

}  // namespace

// Runs the config command; `args` are the words after "config".
std::string config(const std::string& state, const std::string& instance, const std::vector<std::string>& args) {
  if (args.empty()) return invalidOption("");
  const std::string action = args[0];
  std::size_t i = 1;
  std::string scope;
  if (i < args.size() && (args[i] == "--local" || args[i] == "--global")) scope = args[i++].substr(2);
  if (action == "--list") return configList(state, instance, scope);
  if (action == "--explain") {
    auto block = [](const KnownSetting& known) {
      return std::string("Key: ") + known.key + "\nDescription: " + known.description +
             "\nValue constraints: " + known.constraints + "\nDefault value: " + known.defaultValue + "\n\n";
    };
    std::string out;
    if (i == args.size()) {
      for (const auto& known : kKnownSettings) out += block(known);
    }
    for (; i < args.size(); ++i) {
      const KnownSetting* known = knownSetting(args[i].substr(2));
      if (!known) return invalidOption(args[i]);
      out += block(*known);
    }
    return out;
  }
  if (action != "--set" && action != "--delete") return invalidOption(action);
  const std::string file = settingsFile(state, instance, scope.empty() ? "local" : scope);
  const StoreLock lock(file);
  if (!lock.held()) return "Error: the settings store could not be locked.\n";
  Settings settings = readSettings(file);
  const std::string requiredPassword = readFile(state + "/password");
  std::string password;
  bool passwordGiven = false;
  for (; i < args.size(); ++i) {
    if (args[i] == "--password" && i + 1 < args.size()) {
      password = args[++i];
      passwordGiven = true;
      continue;
    }
    if (args[i].rfind("--", 0) != 0 || !knownSetting(args[i].substr(2))) return invalidOption(args[i]);
    const std::string key = args[i].substr(2);
    std::erase_if(settings, [&](const auto& entry) { return entry.first == key; });
    if (action == "--set") {
      if (i + 1 >= args.size()) return invalidOption(args[i]);
      // The store keeps one setting a line: a line break would cut the value.
      if (args[i + 1].find_first_of("\r\n") != std::string::npos) return "Error: a value cannot hold a line break.\n";
      settings.emplace_back(key, args[++i]);
    }
  }
  if (!requiredPassword.empty() && (!passwordGiven || password + "\n" != requiredPassword)) {
    return "Error: the filespace password is required to change settings.\n";
  }
  if (!writeSettings(file, settings)) return "Error: the settings could not be stored.\n";
  return "Configuration successfully processed.\n";
}

}  // namespace lucid_sim
