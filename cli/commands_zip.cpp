// zip [--threads N] [--readers N] [--quiet] FOLDER OUTPUT_FOLDER PREFIX
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/archive/zip_folder.hpp"

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ZipOptions {
  std::string folder, outputFolder, prefix;
  unsigned threads = 0;
  unsigned readers = 0;
  bool quiet = false;
};

std::string humanBytes(double bytes) {
  static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

// One line on standard error, redrawn in place, as wide as the terminal:
// "[#####.....]  45%  120.3 MiB / 266.0 MiB  56.2 MiB/s  0:12 left". The
// bytes come from the zip's own listing: until it ends the line says so.
class ProgressBar {
 public:
  void setTotal(std::uint64_t total) { total_ = static_cast<double>(total); }

  void draw(float fraction) {
    const auto now = Clock::now();
    if (fraction < 1.0f && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    char text[160];
    if (total_ < 0) {
      // As wide as the line with bytes, so that the bar keeps its length.
      std::snprintf(text, sizeof text, " %3d%% %-48s", static_cast<int>(fraction * 100), "listing the folder");
    } else {
      const double done = total_ * fraction;
      const double seconds = std::chrono::duration<double>(now - start_).count();
      const double rate = seconds > 0.2 ? done / seconds : 0;
      char left[32] = "--:--";
      if (fraction >= 1.0f) {
        std::snprintf(left, sizeof left, "done");
      } else if (rate > 0) {
        const long remaining = static_cast<long>((total_ - done) / rate + 0.5);
        std::snprintf(left, sizeof left, "%ld:%02ld left", remaining / 60, remaining % 60);
      }
      // Fixed widths, so that the bar keeps its length while the numbers change.
      std::snprintf(text, sizeof text, " %3d%% %10s / %-10s %11s/s %10s", static_cast<int>(fraction * 100),
                    humanBytes(done).c_str(), humanBytes(total_).c_str(), humanBytes(rate).c_str(), left);
    }
    std::string line = text;
    const int columns = platform::terminalColumns(platform::StandardStream::error);
    const int barWidth = columns - 1 - static_cast<int>(line.size()) - 2;
    if (barWidth >= 10) {
      const int filled = static_cast<int>(fraction * static_cast<float>(barWidth));
      line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
             std::string(static_cast<std::size_t>(barWidth - filled), '.') + "]" + line;
    }
    if (static_cast<int>(line.size()) > columns - 1) line.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
    // Back to the line's start, the line, then clear what a longer one left.
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
  }

  void finish() {
    if (drawn_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  double total_ = -1;  // unknown until the folder is listed
  const Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_;
  bool drawn_ = false;
};

}  // namespace

void addZipCommand(CLI::App& app, const Options& options, Action& action) {
  auto zip = std::make_shared<ZipOptions>();
  auto* command = app.add_subcommand("zip", "Zip a folder's contents into OUTPUT_FOLDER/PREFIX_dd-MM-yyyy_hh-mm-ss.zip");
  command->add_option("FOLDER", zip->folder, "The folder to archive")->required();
  command->add_option("OUTPUT_FOLDER", zip->outputFolder, "Where the archive goes (created when missing)")->required();
  command->add_option("PREFIX", zip->prefix, "The start of the archive's name")->required();
  command->add_option("--threads", zip->threads, "Compressing threads (default: one per processor)")
      ->check(CLI::Range(1u, 1024u));
  command->add_option("--readers", zip->readers, "Reads in flight, besides the compressing threads (default: 32)")
      ->check(CLI::Range(1u, 1024u));
  command->add_flag("-q,--quiet", zip->quiet, "No progress bar");
  command->callback([zip, &options, &action] {
    action = [zip, &options] {
      std::unique_ptr<ProgressBar> bar;
      if (!zip->quiet && platform::isTerminal(platform::StandardStream::error)) bar = std::make_unique<ProgressBar>();
      std::uint64_t inputBytes = 0;
      std::optional<fs::path> archive;
      std::exception_ptr error;
      ZipCancellation cancellation;
      int signal = 0;
      {
        // Ctrl-C, SIGTERM and SIGHUP cancel the zip, so that it removes its
        // temporary file. Set up before the zip starts its threads.
        platform::StopSignals signals([&cancellation](int) { cancellation.cancel(); });
        zipFolder(
            fs::absolute(zip->folder), fs::absolute(zip->outputFolder), zip->prefix,
            [&bar](std::optional<float> fraction) {
              if (bar && fraction) bar->draw(*fraction);
            },
            [&](std::optional<fs::path> made, std::exception_ptr failure) {
              archive = std::move(made);
              error = failure;
            },
            {zip->threads, &cancellation, zip->readers, [&bar, &inputBytes](std::uint64_t bytes) {
               inputBytes = bytes;
               if (bar) bar->setTotal(bytes);
             }});
        signals.wake();
        signal = signals.wait();
      }
      if (bar) bar->finish();
      if (error) {
        if (signal != 0) {
          // With --json the cancellation is an error object like any other
          // failure; the exit status still names the signal.
          if (options.json) {
            try {
              std::rethrow_exception(error);
            } catch (...) {
              printError(describeCurrentException(), true);
            }
          } else {
            std::fprintf(stderr, "zip cancelled: no archive was made\n");
          }
          return exitForSignal(signal);
        }
        std::rethrow_exception(error);
      }
      try {
        if (options.json) {
          printJson({{"path", archive->string()},
                     {"inputBytes", inputBytes},
                     {"archiveBytes", fs::file_size(*archive)}});
        } else {
          printRaw(escapedForTerminal(archive->string()) + "\n");
        }
      } catch (const WriteError&) {
        // The archive stays: its path must not be lost with the output.
        std::fprintf(stderr, "The archive was made: %s\n", escapedForTerminal(archive->string()).c_str());
        throw;
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
