/// @file
/// The client of one LucidLink instance (one mounted filespace) or, without an
/// instance, of the LucidLink tool as a whole.
///
/// Every instance-specific command is prefixed with "--instance" and the
/// instance identifier. One-shot commands block their caller until the tool
/// has exited; they are never serialised, so any number may run at once from
/// any threads. Live performance runs are kept in the client's registry until
/// they are stopped one by one, all together, or by the client's destruction.
///
/// Stopping never waits: cancelProcessWithId(), killAllProcesses() and the
/// destructor signal the tool and return, also when called from a run's own
/// callback or while another thread is inside one. Once a stop has returned no
/// new update of that run begins; the run's end is still reported to its
/// receiver (didEndPerfRun), after the tool has been reaped. A tool is never
/// signalled after it has been reaped. fsInfo may be read and replaced from
/// any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/lucidlink/lucid_config.hpp"
#include "velmora/lucidlink/lucid_file_space_info.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"
#include "velmora/lucidlink/lucid_perf.hpp"
#include "velmora/lucidlink/lucid_link_reports.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora {

/// Where the LucidLink tool is installed on macOS.
inline constexpr const char* kDefaultLucidLaunchPath = "/usr/local/bin/lucid";

/// The client of one LucidLink instance, or of the tool as a whole.
class LucidLinkCLIUtility : public GenericCLIUtility {
 public:
  ///@{
  /// The records read from the tool, reachable under the client's name too.
  using LucidFileSpaceInfo = velmora::LucidFileSpaceInfo;
  using LucidLinkCLIStatusInfo = velmora::LucidLinkCLIStatusInfo;
  using LucidLinkCLICacheInfo = velmora::LucidLinkCLICacheInfo;
  using LucidConfigScope = velmora::LucidConfigScope;
  using LucidConfigKey = velmora::LucidConfigKey;
  using LucidConfigKeyValue = velmora::LucidConfigKeyValue;
  using LucidConfigOperation = velmora::LucidConfigOperation;
  using LucidConfigResult = velmora::LucidConfigResult;
  using LucidConfigListOutput = velmora::LucidConfigListOutput;
  using LucidConfigSetOrDeleteOutput = velmora::LucidConfigSetOrDeleteOutput;
  using LucidConfigExplainOutput = velmora::LucidConfigExplainOutput;
  using LucidDataLayer = velmora::LucidDataLayer;
  using LucidPerfMetric = velmora::LucidPerfMetric;
  using LucidPerfQuery = velmora::LucidPerfQuery;
  using LucidPerfUpdate = velmora::LucidPerfUpdate;
  using LucidPerfMetricValue = velmora::LucidPerfMetricValue;
  using LucidLinkPerformanceUpdateReciever = velmora::LucidLinkPerformanceUpdateReciever;
  ///@}

  ///@{
  /// A client of the tool at `launchPath`, without an instance or for the
  /// instance `fsInfo` names. Nothing is run or checked here.
  explicit LucidLinkCLIUtility(std::string launchPath = kDefaultLucidLaunchPath);
  LucidLinkCLIUtility(std::string launchPath, LucidFileSpaceInfo fsInfo);
  ///@}
  /// Stops every registered process first.
  ~LucidLinkCLIUtility() override;

  LucidLinkCLIUtility(const LucidLinkCLIUtility&) = delete;
  LucidLinkCLIUtility& operator=(const LucidLinkCLIUtility&) = delete;

  /// The instance this client speaks to; absent: none, the tool as a whole.
  virtual std::optional<LucidFileSpaceInfo> fsInfo() const;
  /// Replaces the instance for the commands that start from now on.
  void setFsInfo(std::optional<LucidFileSpaceInfo> fsInfo);
  /// The instance identifier of `fsInfo`, absent without an instance.
  virtual std::optional<std::string> instanceID() const;

  /// Runs the tool once with ["--instance", id] (when there is an instance),
  /// then `command`, then `args`. Runner failures pass through unchanged.
  /// The default returns the output of runInstanceSpecificCommandWithExitStatus.
  /// Every command of the client (list, reports, config) goes through this
  /// one, so a subclass may override it, or the exit-status variant below to
  /// keep how the tool ended; either override reaches every command.
  /// @throws CLIUtilityError, std::system_error as GenericCLIUtility::run().
  virtual std::string runInstanceSpecificCommand(const std::vector<std::string>& command,
                                                 const std::vector<std::string>& args = {}) const;
  /// The same run, also returning how the tool ended (through
  /// runWithExitStatus, and so through its overrides).
  virtual CLIRunResult runInstanceSpecificCommandWithExitStatus(const std::vector<std::string>& command,
                                                                const std::vector<std::string>& args = {}) const;

  ///@{
  /// Reports. Empty tool output means the instance is not running:
  /// LucidLinkCLIError::lucidNotRunning. Output of a tool that exited 0 is
  /// the report, even when it holds none of the facts the record reads (a
  /// line feed alone gives a record whose properties are all absent; cache()
  /// returns the map as it is). A tool that printed something but exited
  /// non-zero or was ended by a signal fails with invalidOutput, its text
  /// naming how the tool ended and carrying what it printed (cut after 4 KiB,
  /// with a marker saying how much more there was; control characters
  /// escaped as `\n`, `\xNN` or `\uNNNN`, so the text is one line that is safe
  /// to show). The exit status is known when runInstanceSpecificCommand is not
  /// overridden or its override calls the default; text from an override
  /// that does not counts as a tool that exited 0. Runner failures pass
  /// through.
  /// @throws LucidLinkCLIError lucidNotRunning, invalidOutput.
  virtual LucidLinkCLIStatusInfo statusInfo() const;
  virtual LucidDictionary cache() const;
  virtual LucidLinkCLICacheInfo cacheInfo() const;
  ///@}

  /// The instances the tool lists ("list", with this client's instance
  /// prefix), in the tool's order. Fails with lucidNotRunning when the output
  /// has no table.
  /// @throws LucidLinkCLIError lucidNotRunning; the runner's failures.
  virtual std::vector<LucidFileSpaceInfo> list() const;

  /// The instances of the whole machine: "list" without an instance.
  static std::vector<LucidFileSpaceInfo> listAllFilespaces(
      const std::string& launchPath = kDefaultLucidLaunchPath);

  /// A new client for the instance mounted exactly at `mountPoint` (compared
  /// as standardized absolute paths, Unicode normalization aside; a path
  /// inside a filespace does not match). The instances are asked for their
  /// status in list order until one matches; an instance whose status fails
  /// is skipped. Fails with failedToFindCompatibleInstanceID when none does.
  /// @throws LucidLinkCLIError failedToFindCompatibleInstanceID, or list()'s
  ///   failures; the runner's failures.
  static std::shared_ptr<LucidLinkCLIUtility> utility(
      const std::filesystem::path& mountPoint, const std::string& launchPath = kDefaultLucidLaunchPath);

  /// Runs "config" with the request's arguments for this client's instance
  /// and parses the answer into the record the request's case names. Runner
  /// failures pass through; a listing without its table header fails with
  /// invalidOutput; a refused set or delete is reported in its record.
  /// @throws LucidLinkCLIError invalidOutput; the runner's failures.
  virtual LucidConfigAnyResult runLucidConfig(const LucidConfigOperation& operation) const;
  ///@{
  /// The same, typed by the request's case (through the operation above).
  LucidConfigListOutput runLucidConfig(const LucidConfigOperation::List& request) const;
  LucidConfigSetOrDeleteOutput runLucidConfig(const LucidConfigOperation::Set& request) const;
  LucidConfigSetOrDeleteOutput runLucidConfig(const LucidConfigOperation::Delete& request) const;
  LucidConfigExplainOutput runLucidConfig(const LucidConfigOperation::Explain& request) const;
  ///@}

  /// Starts the tool's live performance monitor for this instance and returns
  /// its process identifier at once. Every complete output line is parsed as
  /// it arrives and each update handed to the receiver on the run's own
  /// thread. The receiver is held weakly; while it is gone, each block of
  /// output is dropped with the line "Update reciver went out of scope!". The
  /// run lasts until cancelProcessWithId(), killAllProcesses() or the client's
  /// end; a run whose tool exits stays registered until then.
  /// Never throws: when the tool cannot be started, "Failed to run lucid perf:
  /// ..." is printed, 0 is returned, the entry stays registered until
  /// cancelled, and the receiver's didEndPerfRun (launchFailed) follows on a
  /// thread of its own.
  virtual std::int32_t runPerf(const LucidPerfQuery& query,
                               std::weak_ptr<LucidLinkPerformanceUpdateReciever> updatesReciver);

  /// Stops the registered process with this identifier, if there is one (the
  /// running one, when a reused identifier names two). Never waits.
  virtual void cancelProcessWithId(std::int32_t processIdentifier);
  /// Stops every registered process and empties the registry. Never waits.
  virtual void killAllProcesses();

  /// The process identifiers of the registry, in registration order (0 for a
  /// process that never started).
  std::vector<std::int32_t> runningProcesses() const;

  /// Equal when the instance identifiers are equal, both absent included.
  friend bool operator==(const LucidLinkCLIUtility& a, const LucidLinkCLIUtility& b) {
    return a.instanceID() == b.instanceID();
  }

 protected:
  /// The parsed "status" report; statusInfo() wraps it.
  virtual LucidDictionary status() const;

 private:
  struct Impl;  // the instance and the process registry
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
