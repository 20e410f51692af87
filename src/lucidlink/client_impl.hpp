// What a LucidLinkCLIUtility holds: its instance, read and replaced from any
// thread, and the registry of its performance runs.
#pragma once

#include <mutex>
#include <optional>

#include "lucidlink/process_registry.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

struct LucidLinkCLIUtility::Impl {
  explicit Impl(std::optional<LucidFileSpaceInfo> info) : fsInfo(std::move(info)) {}

  std::mutex fsInfoMutex;
  std::optional<LucidFileSpaceInfo> fsInfo;
  detail::ProcessRegistry processes;
};

namespace detail {

// Catches how the tool ended when the reports run it through the virtual
// runInstanceSpecificCommand, which returns only the text: the default
// implementation records the exit status of its run here for the capture
// open on this thread for that client. An override that does not reach the
// default leaves it empty. Captures nest; each belongs to its thread.
class ExitStatusCapture {
 public:
  explicit ExitStatusCapture(const LucidLinkCLIUtility& client) noexcept;
  ~ExitStatusCapture();
  ExitStatusCapture(const ExitStatusCapture&) = delete;
  ExitStatusCapture& operator=(const ExitStatusCapture&) = delete;

  static void record(const LucidLinkCLIUtility& client, const CLIExitStatus& status) noexcept;
  const std::optional<CLIExitStatus>& status() const noexcept { return status_; }

 private:
  const LucidLinkCLIUtility& client_;
  ExitStatusCapture* outer_;
  std::optional<CLIExitStatus> status_;
};

}  // namespace detail

}  // namespace velmora
