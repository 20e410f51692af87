/// @file
/// Zipping a folder into a new, time-stamped archive.
///
/// The archive is "PREFIX_dd-MM-yyyy_hh-mm-ss.zip" (the local time of the
/// call, 12-hour clock, no AM/PM marker) in `outputFolder`, which is created
/// with its parents. Its entries are the folder's contents relative to the
/// folder, sorted by name: folders (empty ones too), regular files deflated
/// (those compressed already by their extension, ".gz", ".png", ".zip" ...,
/// in deflate's stored blocks),
/// symbolic links stored as links and never followed, each with its Unix mode
/// and modification time (2-second resolution). Names are stored as their
/// bytes, marked UTF-8 (bit 11) when they are valid UTF-8 by RFC 3629 and not
/// plain ASCII; a name with an overlong form, a surrogate, a code point above
/// U+10FFFF or a cut sequence is stored unmarked, as Info-ZIP does (two names
/// that differ in their bytes are two entries, whatever they look like). The
/// tree is walked by descriptors, each folder opened relative to its parent
/// and each file relative to its folder without following a link, so a
/// folder swapped for a link meanwhile is never followed and paths longer
/// than PATH_MAX are archived. A file's bytes are read from one descriptor,
/// opened once; a file or folder whose identity (device, inode), size,
/// modification or change time or link count is not the same when listed,
/// when opened and after its last byte is read fails the call
/// (unreadableItem, "... changed while being archived"). The archive is the
/// same bytes whatever the number of threads, and flushed to disk before it
/// gets its name.
///
/// What a caller may rely on:
///   - Threads: zipFolder runs on the calling thread and calls `completion`
///     there exactly once before it returns. Files are deflated by
///     `options.threads` worker threads (0: the hardware's concurrency) and
///     read by `options.readers` threads (pieces of at most 1 MiB in
///     flight), while up to 32 threads list the folder; all ended before it
///     returns. Memory stays bounded whatever the files' sizes (about 64 MiB
///     buffered).
///   - Progress: `percentComplete` is called on the calling thread only, with
///     the fraction of the files' bytes deflated so far (never absent): 0.0
///     first, then rising, and 1.0 only once the archive is in place.
///   - Cancellation: `options.cancellation->cancel()`, from any thread or from
///     `percentComplete`, stops the call within a fraction of a second (once
///     the file-system requests under way return), while listing too; it
///     then fails with ZipFolderError::Case::cancelled. Cancelling after the
///     archive is in place changes nothing.
///   - Failure: nothing is left under the archive's name or beside it. The
///     archive is written into a file without a name (O_TMPFILE) and linked
///     into place once complete, so that even a process killed outright
///     leaves nothing. Where the file system has no such files (FUSE ones
///     such as exFAT, macOS) it is written under a hidden name,
///     ".NAME.zip.HOST.SESSION.N.partial", removed on failure and locked
///     (flock) while written; every call first removes the files of that
///     pattern in the output folder that this machine made (HOST: a digest of
///     its machine id) and whose lock is free (their writer died), never one
///     a running call holds. Another machine's are never removed, since a
///     lock taken there is not seen here through a shared file system. An
///     existing file under the archive's name (two calls in the same second,
///     or twelve hours apart) is never touched: the call fails. The output
///     folder stays once created.
///   - Errors arrive as std::exception_ptr: ZipFolderError for a prefix that
///     would leave the output folder or cut the archive's name ("/", NUL;
///     dots are fine), an item that cannot be archived, a cancellation or the
///     writer's failure (creating or writing the archive's file, with its
///     errno as systemCode()); std::filesystem::filesystem_error
///     for the file system (the output folder, an existing archive, a missing
///     or unlistable source folder). An exception thrown by `percentComplete`
///     fails the call like an error, except from its final 1.0 call, which
///     is ignored; one thrown by `completion` reaches zipFolder's caller.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "velmora/error.hpp"

namespace velmora {

/// A failure of zipFolder.
/// systemCode() is the errno of the file operation that failed, where one did.
class ZipFolderError : public Error {
 public:
  /// The archive's failures.
  enum class Case {
    invalidPrefix,    // the prefix holds "/" or a NUL byte (dots are fine: the name goes on with "_date.zip")
    unsupportedItem,  // neither a regular file, a folder nor a link (a FIFO, a socket, a device)
    unreadableItem,   // a file or link that cannot be read
    /// The call's cancellation was set.
    cancelled,
    writeFailed,  // the archive could not be written
  };
  /// The failure of `errorCase`, with its text and errno.
  ZipFolderError(Case errorCase, const std::string& text, std::int32_t systemCode = 0)
      : Error(text, systemCode), case_(errorCase) {}
  /// Which failure this is.
  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "ZipFolderError"; }
  const char* caseName() const noexcept override;

 private:
  Case case_;
};

/// Stops a zipFolder call on request; one per call. Thread-safe.
class ZipCancellation {
 public:
  /// Asks the call to stop; from any thread, any number of times.
  void cancel() noexcept { cancelled_.store(true); }
  /// Whether cancel() has been called.
  bool isCancelled() const noexcept { return cancelled_.load(); }

 private:
  std::atomic<bool> cancelled_{false};
};

/// How zipFolder works: threads, readers, cancellation, the listed size.
struct ZipFolderOptions {
  /// Reads in flight when `readers` is 0.
  static constexpr unsigned kDefaultReaders = 32;
  unsigned threads = 0;  // compressing threads; 0: the hardware's concurrency
  const ZipCancellation* cancellation = nullptr;  // must outlive the call
  /// Reads in flight, each of at most 1 MiB, besides the compressing threads
  /// (and as many threads listing folders, up to 32): on a network file
  /// system the archive waits for the file system, not for the processor.
  /// 0: kDefaultReaders; at most 1024 (as the threads), more count as 1024.
  unsigned readers = 0;
  /// Called once, on the calling thread, when the folder is listed and
  /// before any fraction above 0.0, with the size in bytes of its regular
  /// files (what the fractions are fractions of; links and folders count
  /// nothing): a display of bytes and rate, or a count of the bytes
  /// archived, needs no walk of its own, which on a network file system
  /// would take as long as the zip or longer. Not called when the listing
  /// fails or is cancelled. An exception it throws fails the call like one
  /// from `percentComplete`.
  std::function<void(std::uint64_t fileBytes)> listed = nullptr;
};

/// Told the fraction of the bytes deflated so far, on the calling thread.
using PercentCompleteCallback = std::function<void(std::optional<float> fraction)>;
/// The archive's path and no error, or no path and the error.
using ZipCompletion = std::function<void(std::optional<std::filesystem::path> archive, std::exception_ptr error)>;

/// Zips `folder` into a new archive in `outputFolder`, as the file's
/// description says. Throws only what `completion` throws: every failure
/// is handed to it.
void zipFolder(const std::filesystem::path& folder, const std::filesystem::path& outputFolder,
               const std::string& zipFilePrefix, const PercentCompleteCallback& percentComplete,
               const ZipCompletion& completion, const ZipFolderOptions& options = {});

/// The archive's file name for a call at `when`, in the local time zone.
std::string archiveFileName(const std::string& zipFilePrefix, std::chrono::system_clock::time_point when);

}  // namespace velmora
