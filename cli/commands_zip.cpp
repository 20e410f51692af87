// zip FOLDER OUTPUT_FOLDER PREFIX
#include <cstdio>
#include <filesystem>
#include <memory>

#include <unistd.h>

#include "front_end.hpp"
#include "velmora/archive/zip_folder.hpp"

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;

struct ZipOptions {
  std::string folder, outputFolder, prefix;
};

std::uintmax_t bytesIn(const fs::path& folder) {
  std::uintmax_t total = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (it->is_regular_file(error) && !it->is_symlink(error)) total += it->file_size(error);
  }
  return total;
}

void drawProgressBar(float fraction) {
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(fraction * kWidth + 0.5f);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", kWidth - filled, "",
               static_cast<int>(fraction * 100 + 0.5f));
  if (fraction >= 1.0f) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

void addZipCommand(CLI::App& app, const Options& options, Action& action) {
  auto zip = std::make_shared<ZipOptions>();
  auto* command = app.add_subcommand("zip", "Zip a folder's contents into OUTPUT_FOLDER/PREFIX_dd-MM-yyyy_hh-mm-ss.zip");
  command->add_option("FOLDER", zip->folder, "The folder to archive")->required();
  command->add_option("OUTPUT_FOLDER", zip->outputFolder, "Where the archive goes (created when missing)")->required();
  command->add_option("PREFIX", zip->prefix, "The start of the archive's name")->required();
  command->callback([zip, &options, &action] {
    action = [zip, &options] {
      const bool terminal = ::isatty(STDERR_FILENO) == 1;
      std::optional<fs::path> archive;
      std::exception_ptr error;
      zipFolder(
          fs::absolute(zip->folder), fs::absolute(zip->outputFolder), zip->prefix,
          [terminal](std::optional<float> fraction) {
            if (terminal && fraction) drawProgressBar(*fraction);
          },
          [&](std::optional<fs::path> made, std::exception_ptr failure) {
            archive = std::move(made);
            error = failure;
          });
      if (error) std::rethrow_exception(error);
      if (options.json) {
        printJson({{"path", archive->string()},
                   {"inputBytes", bytesIn(zip->folder)},
                   {"archiveBytes", fs::file_size(*archive)}});
      } else {
        printRaw(archive->string() + "\n");
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
