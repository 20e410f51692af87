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
//   print-hex HEX    write raw bytes, e.g. "ff" or "c0af" (not UTF-8)
//   print-mib N      write N MiB of ASCII text lines, in large writes
//   sleep SECONDS    sleep (fractions allowed)
//   ignore-term      ignore SIGTERM from now on
//   forever          sleep until killed
//   exit N           exit with status N at once
//
// A single empty argument (an "is it installed" probe) prints a usage line.
// An unknown word is reported on standard error with exit status 2.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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
  if (i + 1 < args.size() && args[i] == "--instance") i += 2;

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
    } else if (word == "exit") {
      return std::atoi(operand(word).c_str());
    } else {
      usageError("unknown command: " + word);
    }
  }
  return 0;
}
