// lucid-sim: a stand-in for the LucidLink command-line tool.
//
//   lucid-sim [--instance ID] WORD...
//
// The words form a small script, run left to right, so that tests can ask
// for exactly the behaviour they need (including misbehaviour):
//
//   echo-args        print every argument after the program name as a JSON
//                    array of strings on one line, and stop (the words
//                    after it are only data)
//   print TEXT       write TEXT as it is
//   println TEXT     write TEXT and a line feed
//   newline          write a line feed
//   print-hex HEX    write raw bytes, e.g. "ff" or "c0af" (not UTF-8)
//   print-mib N      write N MiB of ASCII text lines, in large writes
//   sleep SECONDS    sleep (fractions allowed)
//   ignore-term      ignore SIGTERM from now on
//   forever          sleep until killed
//   exit N           exit with status N at once
//
// A single empty argument (an "is it installed" probe) prints a usage line.
// An unknown word is reported on standard error with exit status 2.
//
// The tool's own commands answer from a state directory, which tests and the
// demo change while the simulator is in use: $LUCID_SIM_STATE if set, else
// the launch path with ".d" appended (so a symbolic link to the simulator
// brings its own state).
//
//   list             the instance table
//   status, cache    the report of the instance given with --instance (the
//                    first listed one without); nothing for an unknown one
//   perf             a live counter table for the requested layers and
//                    metrics ("--fs a,b", "--cache ...", "--objectstore
//                    ..."; a layer without names, or none at all, gets a
//                    default set), one sample line per period
//   config           --list, --set, --delete and --explain on a settings
//                    store per instance and scope (files config-ID-SCOPE of
//                    the state directory, "key=value" lines), so that a set
//                    followed by a list shows the change; an unknown key
//                    gets the tool's invalid-option answer
//
// Files of the state directory (all optional; write them atomically):
//   instances   one instance a line: ID, FILESPACE, PORT, MODE and MOUNT POINT
//               separated by tabs; a missing or "-" mount point gives a
//               status without "Mount point"
//   options     words that change the output: "notice" (a line above the
//               table), "crlf" (CRLF line ends), "broken-list" (a table
//               without its header), "empty-list" (list prints nothing)
//   misbehave   script words (as above) run before any tool command, e.g.
//               "print-hex ff" or "exit 3"
//   calls.log   appended with the argument vector of every tool command
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <ctime>
#include <time.h>
#include <unistd.h>

namespace {

void writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      std::exit(1);  // reader went away
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string jsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void sleepFor(double seconds) {
  timespec remaining{static_cast<time_t>(seconds),
                     static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void printMebibytes(long count) {
  // 64-byte lines of printable text, written one MiB at a time.
  std::string block;
  block.reserve(1 << 20);
  while (block.size() < (1u << 20)) {
    block += "lucid-sim output line, sixty-four bytes long, ASCII only....\n";
    block.resize(std::min<std::size_t>(block.size(), 1u << 20));
  }
  for (long i = 0; i < count; ++i) writeAll(block);
}

std::string fromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

std::string stateDirectory(const char* launchPath) {
  if (const char* fromEnvironment = std::getenv("LUCID_SIM_STATE")) return fromEnvironment;
  return std::string(launchPath) + ".d";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

struct Instance {
  std::string id, filespace, port, mode, mountPoint;
};

std::vector<Instance> readInstances(const std::string& state) {
  std::vector<Instance> instances;
  std::istringstream lines(readFile(state + "/instances"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4) continue;
    fields.resize(5);
    instances.push_back({fields[0], fields[1], fields[2], fields[3], fields[4] == "-" ? "" : fields[4]});
  }
  return instances;
}

std::string padded(const std::string& text, std::size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

std::string listOutput(const std::vector<Instance>& instances, const std::vector<std::string>& options) {
  auto has = [&](const char* option) {
    for (const auto& o : options) if (o == option) return true;
    return false;
  };
  if (has("empty-list")) return "";
  std::string out;
  if (has("notice")) out += "Notice: a newer version of Lucid is available.\n";
  if (!has("broken-list")) out += "INSTANCE ID    FILESPACE                PORT    MODE\n";
  for (const auto& i : instances) {
    out += has("broken-list") ? i.id + "|" + i.filespace + "\n"
                              : padded(i.id, 15) + padded(i.filespace, 25) + padded(i.port, 8) + i.mode + "\n";
  }
  if (has("crlf")) {
    std::string converted;
    for (const char c : out) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
    out = converted;
  }
  return out;
}

const Instance* findInstance(const std::vector<Instance>& instances, const std::string& id) {
  for (const auto& instance : instances) {
    if (id.empty() || instance.id == id) return &instance;
  }
  return nullptr;
}

std::string statusOutput(const Instance& i) {
  std::string out = "Client state: Linked\n";
  out += "Filespace name: " + i.filespace + "\n";
  out += "Filespace object store provider: Amazon S3\n";
  out += "Filespace object store region: us-east-1\n";
  out += "User: admin@" + i.filespace + " [Administrator]\n";
  if (!i.mountPoint.empty()) out += "Mount point: " + i.mountPoint + "\n";
  out += "Mode: " + i.mode + "\n";
  out += "Port: " + i.port + "\n";
  out += "Uptime: 01:02:03\n";
  return out;
}

std::string cacheOutput(const Instance&) {
  return "Cache location: /var/cache/lucid\n"
         "Cache limit: 10.00 GiB\n"
         "Current size on disk: 1.25 GiB\n"
         "Remaining upload: 0 B\n";
}

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

void writeSettings(const std::string& file, const Settings& settings) {
  std::ofstream out(file + ".tmp", std::ios::trunc);
  for (const auto& [key, value] : settings) out << key << "=" << value << "\n";
  out.close();
  std::rename((file + ".tmp").c_str(), file.c_str());
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
  std::string out = padded("KEY NAME", 37) + padded("EFFECTIVE", 20) + padded("CONFIGURED", 20) +
                    padded("SCOPE", 9) + "STATUS\n";
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
    const std::string status = std::string(known.key) == "DataCache.Location" && scope != "default"
                                   ? "restart required" : "";
    // Like the real tool: an empty last column is not padded.
    std::string row = padded(known.key, 37) + padded(effective, 20) + padded(configured, 20) +
                      (status.empty() ? scope : padded(scope, 9) + status);
    out += row + "\n";
  }
  return out;
}

std::string invalidOption(const std::string& option) {
  return "An invalid option was passed.\nAdditional arguments: " + option + "\n";
}

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
      settings.emplace_back(key, args[++i]);
    }
  }
  if (!requiredPassword.empty() && (!passwordGiven || password + "\n" != requiredPassword)) {
    return "Error: the filespace password is required to change settings.\n";
  }
  writeSettings(file, settings);
  return "Configuration successfully processed.\n";
}

std::string optionValue(const std::vector<std::string>& options, const std::string& name, const std::string& fallback) {
  for (const auto& option : options) {
    if (option == name) return "1";
    if (option.rfind(name + "=", 0) == 0) return option.substr(name.size() + 1);
  }
  return fallback;
}

struct PerfSection {
  std::string name;                  // "time", "fs", "cache", "objectstore"
  std::vector<std::string> metrics;  // column names
};

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::vector<PerfSection> perfSections(const std::vector<std::string>& args) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> defaults = {
      {"fs", {"readBytes", "writeBytes", "reads", "writes", "readTime", "writeTime", "pendOps"}},
      {"cache", {"readBytes", "writeBytes", "%hits", "bckWriteBytes", "dirtyBytes", "%"}},
      {"objectstore", {"getBytes", "putBytes", "gets", "puts", "getTime", "putTime"}},
  };
  std::vector<PerfSection> sections{{"time", {"currentDateAndTimeUTC"}}};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) != 0) continue;
    const std::string layer = args[i].substr(2);
    std::vector<std::string> metrics;
    if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) metrics = splitCommas(args[++i]);
    for (const auto& [name, names] : defaults) {
      if (name == layer && metrics.empty()) metrics = names;
    }
    sections.push_back({layer, metrics});
  }
  if (sections.size() == 1) {
    for (const auto& [name, names] : defaults) sections.push_back({name, names});
  }
  return sections;
}

// Every value of a column fits its width, so all lines share the positions.
std::size_t columnWidth(const std::string& metric) {
  return metric == "currentDateAndTimeUTC" ? 26 : std::max<std::size_t>(14, metric.size() + 2);
}

std::size_t sectionWidth(const PerfSection& section) {
  std::size_t width = 0;
  for (const auto& metric : section.metrics) width += columnWidth(metric);
  return std::max(width, section.name.size() + 8);
}

// Sample times start at the run's start and advance by one period (one
// millisecond when unpaced), so they always increase.
struct PerfClock {
  std::time_t start = std::time(nullptr);
  long periodMs = 1;
};

std::string perfValue(const std::string& metric, long sample, const PerfClock& clock) {
  const long k = sample % 97;
  if (metric == "currentDateAndTimeUTC") {
    const long elapsedMs = sample * clock.periodMs;
    const std::time_t seconds = clock.start + elapsedMs / 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, elapsedMs % 1000);
    return stamp;
  }
  if (metric.find("Bytes") != std::string::npos && metric != "dirtyBytes") {
    return std::to_string(k) + ".5MiB/s";
  }
  if (metric.find("Time") != std::string::npos) return k % 7 == 0 ? "n/a" : std::to_string(k % 10) + "ms";
  if (metric == "%" || metric == "%hits") return std::to_string(k) + "%";
  return std::to_string(k * 3);
}

std::string perfHeader(const std::vector<PerfSection>& sections) {
  std::string markers, names;
  for (const auto& section : sections) {
    const std::size_t width = sectionWidth(section);
    std::string marker = "-- " + section.name + " --";
    marker += std::string(width > marker.size() ? width - marker.size() : 1, '-');
    marker.back() = ' ';
    markers += marker;
    std::string columns;
    for (const auto& metric : section.metrics) columns += padded(metric, columnWidth(metric));
    names += padded(columns, width);
  }
  return markers + "\n" + names + "\n";
}

std::string perfSample(const std::vector<PerfSection>& sections, long sample, const PerfClock& clock) {
  std::string line;
  for (const auto& section : sections) {
    const std::size_t width = sectionWidth(section);
    std::string columns;
    for (const auto& metric : section.metrics) columns += padded(perfValue(metric, sample, clock), columnWidth(metric));
    line += padded(columns, width);
  }
  return line + "\n";
}

void runPerf(const std::string& state, const std::vector<std::string>& args) {
  const auto options = words(readFile(state + "/options"));
  const double rate = std::atof(optionValue(options, "perf-rate", "20").c_str());
  const long count = std::atol(optionValue(options, "perf-count", "-1").c_str());
  const long repeatHeader = std::atol(optionValue(options, "perf-repeat-header", "0").c_str());
  const bool crlf = optionValue(options, "perf-crlf", "") == "1";
  const bool split = optionValue(options, "perf-split", "") == "1";
  const bool invalid = optionValue(options, "perf-invalid-utf8", "") == "1";
  const auto sections = perfSections(args);

  std::string buffer;
  auto emit = [&](std::string text, bool flush) {
    if (crlf) {
      std::string converted;
      for (const char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
      text = converted;
    }
    if (split) {
      const std::size_t half = text.size() / 2;
      writeAll(text.substr(0, half));
      sleepFor(0.02);
      writeAll(text.substr(half));
      return;
    }
    buffer += text;
    if (flush || buffer.size() >= 64 * 1024) {
      writeAll(buffer);
      buffer.clear();
    }
  };

  const bool paced = rate > 0;
  PerfClock clock;
  if (paced) clock.periodMs = std::max(1L, static_cast<long>(1000.0 / rate));
  if (optionValue(options, "perf-banner", "") == "1") emit("LucidLink performance monitor\nPress Ctrl-C to stop.\n", paced);
  emit(perfHeader(sections), paced);
  if (optionValue(options, "perf-endless-line", "") == "1") {
    const std::string chunk(64 * 1024, 'x');
    for (;;) writeAll(chunk);
  }
  for (long sample = 0; count < 0 || sample < count; ++sample) {
    if (repeatHeader > 0 && sample > 0 && sample % repeatHeader == 0) emit(perfHeader(sections), false);
    std::string line = perfSample(sections, sample, clock);
    if (invalid && sample % 3 == 2) line.insert(0, "\xff\xfe");
    emit(line, paced);
    if (paced) sleepFor(1.0 / rate);
  }
  emit("", true);
}

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "lucid-sim: %s\n", message.c_str());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0].empty()) {
    writeAll("Usage: lucid-sim [--instance ID] WORD...\n");
    return 0;
  }

  std::size_t i = 0;
  std::string instanceId;
  std::vector<std::string> configOperands;  // words after config or perf
  if (i + 1 < args.size() && args[i] == "--instance") {
    instanceId = args[i + 1];
    i += 2;
  }

  const bool toolCommand = i < args.size() && (args[i] == "list" || args[i] == "status" || args[i] == "cache" || args[i] == "config" ||
                            args[i] == "perf");
  if (toolCommand) {
    const std::string state = stateDirectory(argv[0]);
    {
      std::string logLine;
      for (std::size_t k = 0; k < args.size(); ++k) logLine += (k ? "," : "") + jsonQuoted(args[k]);
      std::ofstream(state + "/calls.log", std::ios::app) << "[" << logLine << "]\n";
    }
    // Misbehaviour first: its words run as a script, then the command.
    std::vector<std::string> script = words(readFile(state + "/misbehave"));
    const std::string command = args[i];
    const std::vector<std::string> operands(args.begin() + static_cast<long>(i) + 1, args.end());
    args.assign(args.begin(), args.begin() + static_cast<long>(i));
    args.insert(args.end(), script.begin(), script.end());
    args.push_back("tool:" + command);
    configOperands = operands;  // the command's own words, read after the script
  }

  auto operand = [&](const std::string& word) -> const std::string& {
    if (i >= args.size()) usageError(word + " needs an operand");
    return args[i++];
  };

  while (i < args.size()) {
    const std::string word = args[i++];
    if (word == "echo-args") {
      std::string line = "[";
      for (std::size_t k = 0; k < args.size(); ++k) line += (k ? "," : "") + jsonQuoted(args[k]);
      writeAll(line + "]\n");
      return 0;
    } else if (word == "print") {
      writeAll(operand(word));
    } else if (word == "println") {
      writeAll(operand(word) + "\n");
    } else if (word == "newline") {
      writeAll("\n");
    } else if (word == "print-hex") {
      writeAll(fromHex(operand(word)));
    } else if (word == "print-mib") {
      printMebibytes(std::atol(operand(word).c_str()));
    } else if (word == "sleep") {
      sleepFor(std::atof(operand(word).c_str()));
    } else if (word == "ignore-term") {
      std::signal(SIGTERM, SIG_IGN);
    } else if (word == "forever") {
      for (;;) ::pause();
    } else if (word.rfind("tool:", 0) == 0) {
      const std::string state = stateDirectory(argv[0]);
      const auto instances = readInstances(state);
      const std::string command = word.substr(5);
      if (command == "perf") {
        runPerf(state, configOperands);
      } else if (command == "config") {
        writeAll(config(state, instanceId, configOperands));
      } else if (command == "list") {
        writeAll(listOutput(instances, words(readFile(state + "/options"))));
      } else if (const Instance* instance = findInstance(instances, instanceId)) {
        writeAll(command == "status" ? statusOutput(*instance) : cacheOutput(*instance));
      }
    } else if (word == "exit") {
      return std::atoi(operand(word).c_str());
    } else {
      usageError("unknown command: " + word);
    }
  }
  return 0;
}
