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
//   sleep SECONDS    sleep (fractions allowed, up to 1e6)
//   ignore-term      ignore SIGTERM from now on
//   raise N          end by signal N (its default action)
//   forever          sleep until killed
//   exit N           exit with status N (0 to 255) at once
//
// A single empty argument (an "is it installed" probe) prints a usage line.
// An unknown word, a missing operand, and an operand that is not what its
// word takes (odd or non-hex HEX, a number out of range or with anything
// after it) are reported on standard error with exit status 2.
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
//                    gets the tool's invalid-option answer. Changes are
//                    serialised by a lock file (config-ID-SCOPE.lock) and
//                    written whole under a name of their own, then renamed,
//                    so concurrent ones all take effect
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
//   calls.log   appended with the argument vector of every tool command (a
//               password given with --password shows as "(password)")
//   password    when present, config --set and --delete need --password
//               with this file's first line
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_config.hpp"
#include "sim_perf.hpp"
#include "sim_reports.hpp"
#include "sim_support.hpp"

using namespace lucid_sim;

namespace {

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

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "lucid-sim: %s\n", message.c_str());
  std::exit(2);
}

std::string fromHex(const std::string& hex) {
  if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    usageError("print-hex: expected pairs of hex digits, got: " + hex);
  }
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The operand of `word` as a whole decimal number within [low, high]; a
// usage error otherwise, so that a typo never turns into 0.
long integerOperand(const std::string& word, const std::string& text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' || errno == ERANGE ||
      value < low || value > high) {
    usageError(word + ": expected a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
               ", got: " + text);
  }
  return value;
}

double secondsOperand(const std::string& word, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  // Written so that nan fails too; a million seconds is more than any test waits.
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' ||
      !(value >= 0 && value <= 1e6)) {
    usageError(word + ": expected a number of seconds from 0 to 1e6, got: " + text);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
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
      // A password is checked, never recorded: the log is a plain file.
      std::string logLine;
      for (std::size_t k = 0; k < args.size(); ++k) {
        const bool password = k > 0 && args[k - 1] == "--password";
        logLine += (k ? "," : "") + jsonQuoted(password ? "(password)" : args[k]);
      }
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
      printMebibytes(integerOperand(word, operand(word), 0, 1L << 20));
    } else if (word == "sleep") {
      sleepFor(secondsOperand(word, operand(word)));
    } else if (word == "ignore-term") {
      std::signal(SIGTERM, SIG_IGN);
    } else if (word == "raise") {
      const int signal = static_cast<int>(integerOperand(word, operand(word), 1, NSIG - 1));
      std::signal(signal, SIG_DFL);
      std::raise(signal);
    } else if (word == "forever") {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
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
      return static_cast<int>(integerOperand(word, operand(word), 0, 255));
    } else {
      usageError("unknown command: " + word);
    }
  }
  return 0;
}
