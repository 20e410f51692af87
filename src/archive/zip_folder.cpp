#include "velmora/archive/zip_folder.hpp"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/folder_pipeline.hpp"
#include "platform/file_system.hpp"
#include "platform/source_file.hpp"
#include "platform/zip_writer.hpp"

namespace velmora {

namespace fs = std::filesystem;

namespace {

// The archive's name is the prefix followed by "_date.zip": only a separator
// could put it somewhere else ("../x", "/tmp/x"), and only a NUL byte could
// cut it short. Dots are harmless there (".." gives ".._date.zip", a plain
// name), and so is an empty prefix.
void checkPrefix(const std::string& prefix) {
  if (prefix.find('/') != std::string::npos || prefix.find('\0') != std::string::npos) {
    throw ZipFolderError(ZipFolderError::Case::invalidPrefix,
                         "The archive's prefix must be a plain name, without \"/\" or a NUL byte: \"" + prefix + "\"");
  }
}

// The hidden name beside the final one that a zip writes under where the
// file system has no unnamed files; no other call uses it. It carries this
// machine's identity: a lock taken on one machine is not seen from another
// through a shared (FUSE) file system, so only this machine may remove it.
fs::path temporaryPath(const fs::path& archive) {
  static std::atomic<unsigned> counter{0};
  static const unsigned long long session = std::random_device{}() * 65536ULL + std::random_device{}();
  std::string name = ".";
  name += archive.filename().string();
  name += "." + platform::hostIdentity() + "." + std::to_string(session) + "." + std::to_string(counter++) + ".partial";
  return archive.parent_path() / name;
}

// Whether `name` is one that temporaryPath() gives on this machine,
// whatever the prefix: ".PREFIX_dd-MM-yyyy_hh-mm-ss.zip.HOST.SESSION.N.partial".
bool isTemporaryName(std::string_view name) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const auto cut = [&name](std::string_view suffix) {
    if (!name.ends_with(suffix)) return false;
    name.remove_suffix(suffix.size());
    return true;
  };
  const auto cutNumber = [&name, &isDigit] {
    std::size_t digits = 0;
    while (digits < name.size() && isDigit(name[name.size() - 1 - digits])) ++digits;
    name.remove_suffix(digits);
    return digits > 0;
  };
  if (!name.starts_with('.') || !cut(".partial") || !cutNumber() || !cut(".") || !cutNumber() ||
      !cut(".zip." + platform::hostIdentity() + ".")) {
    return false;
  }
  constexpr std::string_view stamp = "_00-00-0000_00-00-00";
  if (name.size() < 1 + stamp.size()) return false;
  name.remove_prefix(name.size() - stamp.size());
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    if (stamp[i] == '0' ? !isDigit(name[i]) : name[i] != stamp[i]) return false;
  }
  return true;
}

[[noreturn]] void throwCancelled() {
  throw ZipFolderError(ZipFolderError::Case::cancelled, "The zip was cancelled");
}

// Calls percentComplete with the fraction deflated, rising in steps of at
// least a thousandth, and never 1.0: that is for after publishing.
class ProgressReporter {
 public:
  ProgressReporter(const PercentCompleteCallback& callback, std::uint64_t total) : callback_(callback), total_(total) {}

  void operator()(std::uint64_t done) {
    if (!callback_ || total_ == 0) return;
    const float fraction = std::min(static_cast<float>(static_cast<double>(done) / static_cast<double>(total_)), 0.999f);
    if (fraction < reported_ + 0.001f) return;
    reported_ = fraction;
    callback_(fraction);
  }

 private:
  const PercentCompleteCallback& callback_;
  const std::uint64_t total_;
  float reported_ = 0.0f;
};

void writeArchive(const fs::path& folder, const fs::path& archive, const PercentCompleteCallback& percentComplete,
                  const ZipFolderOptions& options) {
  if (fs::exists(fs::symlink_status(archive))) {
    throw fs::filesystem_error("An archive already exists there", archive,
                               std::make_error_code(std::errc::file_exists));
  }
  std::error_code error;
  const fs::file_status state = fs::status(folder, error);
  if (!fs::is_directory(state)) {
    // A file is not a missing folder, and a folder that cannot be examined
    // says why.
    if (fs::exists(state)) {
      throw fs::filesystem_error("Cannot zip something that is not a folder", folder,
                                 std::make_error_code(std::errc::not_a_directory));
    }
    if (error && error != std::errc::no_such_file_or_directory) {
      throw fs::filesystem_error("Cannot examine the folder to zip", folder, error);
    }
    throw fs::filesystem_error("Cannot zip a folder that does not exist", folder,
                               std::make_error_code(std::errc::no_such_file_or_directory));
  }
  const ZipCancellation* cancellation = options.cancellation;
  const auto cancelled = [cancellation] { return cancellation && cancellation->isCancelled(); };
  const unsigned threads = options.threads > 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  const unsigned readers = options.readers > 0 ? options.readers : ZipFolderOptions::kDefaultReaders;

  // Files are read and deflated while the folder is still being listed.
  archive::FolderPipeline pipeline(folder, threads, readers, cancelled);
  const auto items = pipeline.listing();
  std::uint64_t total = 0;
  for (const auto* item : items) {
    if (item->info.type == platform::ItemType::regular) total += item->info.size;
  }
  if (options.listed) options.listed(total);
  ProgressReporter progress(percentComplete, total);
  pipeline.setProgress([&progress](std::uint64_t done) { progress(done); });

  // Leftovers of zips killed while writing into this folder; those of zips
  // still running are locked and stay.
  platform::removeUnlocked(archive.parent_path().string(), isTemporaryName);
  std::optional<platform::PendingFile> partial;
  try {
    partial.emplace(archive.parent_path().string(), temporaryPath(archive).string());
  } catch (const std::system_error& error) {
    throw ZipFolderError(ZipFolderError::Case::writeFailed, error.what(), error.code().value());
  }
  try {
    platform::ZipWriter writer(partial->descriptor());
    for (const auto* item : items) {
      const auto& info = item->info;
      switch (info.type) {
        case platform::ItemType::directory:
          writer.addDirectory(item->name, info.permissions, info.modified);
          break;
        case platform::ItemType::symlink:
          writer.addSymlink(item->name, item->linkTarget, info.permissions, info.modified);
          break;
        default:
          writer.addDeflatedFile(item->name, info.size, pipeline.source(*item), info.permissions, info.modified);
      }
    }
    writer.close(cancelled);
    if (cancelled()) throwCancelled();
    partial->publish(archive.string());
  } catch (const platform::ZipWriterError& error) {
    if (cancelled()) throwCancelled();  // libzip's own cancellation
    throw ZipFolderError(ZipFolderError::Case::writeFailed, error.what(), error.systemCode());
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
               const PercentCompleteCallback& percentComplete, const ZipCompletion& completion,
               const ZipFolderOptions& options) {
  fs::path archive;
  try {
    checkPrefix(zipFilePrefix);
    if (options.cancellation && options.cancellation->isCancelled()) throwCancelled();
    archive = outputFolder / archiveFileName(zipFilePrefix, std::chrono::system_clock::now());
    fs::create_directories(outputFolder);
    if (percentComplete) percentComplete(0.0f);
    writeArchive(folder, archive, percentComplete, options);
  } catch (...) {
    if (completion) completion(std::nullopt, std::current_exception());
    return;
  }
  try {
    if (percentComplete) percentComplete(1.0f);
  } catch (...) {
    // The archive is complete and in place; a failing progress display
    // does not undo that.
  }
  if (completion) completion(archive, nullptr);
}

}  // namespace velmora
