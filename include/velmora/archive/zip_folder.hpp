// Zipping a folder into a new, time-stamped archive.
//
// The archive is named "PREFIX_dd-MM-yyyy_hh-mm-ss.zip" from the local time
// of the call (12-hour clock, no AM/PM marker) and written into
// `outputFolder`, which is created with its parents. Its entries are the
// folder's contents relative to the folder (without the folder's own name),
// as a file manager makes them: folders included (so empty ones survive),
// Unix modes and modification times kept, names in UTF-8 and marked so,
// symbolic links stored as links and never followed, files deflated
// (level 6) and streamed from disk.
//
// Choices made here:
//   - `percentComplete` receives the fraction done, 0.0 to 1.0, never going
//     back, on the calling thread: 0.0 before anything is read, steps while
//     the archive is written, and 1.0 once it is complete (a failed call
//     never reports 1.0). It is never called with an absent value.
//   - An archive that already exists under the computed name (two calls in
//     the same second, or twelve hours apart) is never opened, changed or
//     replaced: the call fails. The archive is written under a temporary
//     name and only then given its name, so a failed call leaves nothing
//     under the final name.
//   - A file inside the folder that cannot be read, or that is not a regular
//     file, folder or link (a socket, a device, a FIFO), fails the whole
//     call with an error naming it.
//   - Errors arrive as std::exception_ptr: std::filesystem::filesystem_error
//     for the file system (creating the output folder, an existing archive,
//     a missing source), velmora::ZipFolderError otherwise.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace velmora {

// A failure of zipping: an entry that cannot be archived, or the writer's error.
class ZipFolderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using PercentCompleteCallback = std::function<void(std::optional<float> fraction)>;
// Called exactly once: the archive's path and no error, or no path and the error.
using ZipCompletion = std::function<void(std::optional<std::filesystem::path> archive, std::exception_ptr error)>;

// Runs on the calling thread and calls `completion` there before it returns.
void zipFolder(const std::filesystem::path& folder, const std::filesystem::path& outputFolder,
               const std::string& zipFilePrefix, const PercentCompleteCallback& percentComplete,
               const ZipCompletion& completion);

// The archive's file name for a call at `when`, in the local time zone.
std::string archiveFileName(const std::string& zipFilePrefix, std::chrono::system_clock::time_point when);

}  // namespace velmora
