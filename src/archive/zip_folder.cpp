#include "velmora/archive/zip_folder.hpp"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <vector>

#include <random>

#include "platform/file_system.hpp"
#include "platform/zip_writer.hpp"

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr int kDeflateLevel = 6;

// What is archived for one thing inside the folder.
struct Item {
  std::string name;  // relative, with "/" separators; folders end with "/"
  fs::path path;
  fs::file_type type;
  std::uint32_t mode;
  std::time_t modified;
};

// Fails with an error naming `path` unless it can be opened for reading.
void checkReadable(const fs::path& path) {
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    throw ZipFolderError("Cannot read \"" + path.string() + "\": " + std::generic_category().message(errno));
  }
}

std::vector<Item> collect(const fs::path& folder) {
  if (!fs::is_directory(folder)) {
    throw fs::filesystem_error("Cannot zip a folder that does not exist", folder,
                               std::make_error_code(std::errc::no_such_file_or_directory));
  }
  std::vector<Item> items;
  // Never follows links: a link is an entry of its own.
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& path = it->path();
    const auto status = it->symlink_status();
    std::string name = path.lexically_relative(folder).generic_string();
    const auto mode = static_cast<std::uint32_t>(status.permissions()) & 07777;
    switch (status.type()) {
      case fs::file_type::directory:
        name += '/';
        break;
      case fs::file_type::regular:
        checkReadable(path);
        break;
      case fs::file_type::symlink:
        break;
      default:
        throw ZipFolderError("Cannot archive \"" + path.string() + "\": not a file, folder or link");
    }
    items.push_back({std::move(name), path, status.type(), mode, platform::modificationTime(path.string())});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
  return items;
}

// A name beside the final one that no other call uses.
fs::path temporaryPath(const fs::path& archive) {
  static std::atomic<unsigned> counter{0};
  static const unsigned long long session = std::random_device{}() * 65536ULL + std::random_device{}();
  return archive.parent_path() / ("." + archive.filename().string() + "." + std::to_string(session) + "." +
                                  std::to_string(counter++) + ".partial");
}

void writeArchive(const fs::path& folder, const fs::path& archive, const PercentCompleteCallback& percentComplete) {
  if (fs::exists(fs::symlink_status(archive))) {
    throw fs::filesystem_error("An archive already exists there", archive,
                               std::make_error_code(std::errc::file_exists));
  }
  const auto items = collect(folder);
  const fs::path partial = temporaryPath(archive);
  try {
    platform::ZipWriter writer(partial.string(), kDeflateLevel);
    for (const auto& item : items) {
      switch (item.type) {
        case fs::file_type::directory:
          writer.addDirectory(item.name, item.mode, item.modified);
          break;
        case fs::file_type::symlink:
          writer.addSymlink(item.name, fs::read_symlink(item.path).string(), item.mode, item.modified);
          break;
        default:
          writer.addFile(item.name, item.path.string(), item.mode, item.modified);
      }
    }
    float reported = 0.0f;
    writer.close([&](double done) {
      const float fraction = std::clamp(static_cast<float>(done), 0.0f, 1.0f);
      if (fraction <= reported || fraction >= 1.0f) return;  // 1.0 only once complete
      reported = fraction;
      if (percentComplete) percentComplete(fraction);
    });
    platform::publishWithoutReplacing(partial.string(), archive.string());
  } catch (const platform::ZipWriterError& error) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw ZipFolderError(error.what());
  } catch (...) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw;
  }
}

}  // namespace

std::string archiveFileName(const std::string& zipFilePrefix, std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%d-%m-%Y_%I-%M-%S", &local);
  return zipFilePrefix + "_" + stamp + ".zip";
}

void zipFolder(const fs::path& folder, const fs::path& outputFolder, const std::string& zipFilePrefix,
               const PercentCompleteCallback& percentComplete, const ZipCompletion& completion) {
  const fs::path archive = outputFolder / archiveFileName(zipFilePrefix, std::chrono::system_clock::now());
  try {
    fs::create_directories(outputFolder);
    if (percentComplete) percentComplete(0.0f);
    writeArchive(folder, archive, percentComplete);
  } catch (...) {
    if (completion) completion(std::nullopt, std::current_exception());
    return;
  }
  if (percentComplete) percentComplete(1.0f);
  if (completion) completion(archive, nullptr);
}

}  // namespace velmora
