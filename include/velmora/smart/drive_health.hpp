/// @file
/// Drive-health messages (vlmproto's cloud::SMARTData, NVMeCriticalWarning
/// and DriveHealthSnapshot) and the conversions from raw SMART pages: the
/// NVMe SMART / Health Information log page, and the ATA SMART data page
/// with, when it could be read, the ATA Device Statistics log.
///
/// Pure functions without I/O: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "vlmproto.pb.h"

namespace velmora {

constexpr std::size_t kSMARTPageSize = 512;  // an NVMe or ATA SMART page, in bytes
constexpr std::size_t kDeviceStatisticsLogSize = 4096;  // the ATA Device Statistics log, in bytes

namespace Cloud_SMARTData {

/// A message holding exactly these values; the optional ones are present
/// when given, and the critical warning is always set (bits 0 when not given).
cloud::SMARTData from(std::uint64_t temperature, std::optional<std::int64_t> life, std::uint64_t totalRead,
                      std::optional<std::uint64_t> hostReadCommands, std::uint64_t totalWritten,
                      std::optional<std::uint64_t> hostWriteCommands, std::optional<std::uint64_t> controllerBusyTime,
                      std::uint64_t powerCycles, std::uint64_t powerOnHours,
                      std::optional<cloud::NVMeCriticalWarning> criticalWarning,
                      std::optional<std::uint64_t> availableSpare, std::optional<std::uint64_t> spareThreshold,
                      std::optional<std::uint64_t> unsafeShutdowns, std::optional<std::uint64_t> mediaErrors);

}  // namespace Cloud_SMARTData

namespace Cloud_NVMeCriticalWarning {

/// The set bits' texts joined with ", " (bit 0 first), or "None".
std::string description(const cloud::NVMeCriticalWarning& warning);

}  // namespace Cloud_NVMeCriticalWarning

/// The health values of a raw page, as a drive's SMART reading gives them.
/// Only the first 512 bytes of a page (4096 of a statistics log) are read;
/// shorter input throws std::invalid_argument. NVMe byte totals beyond 64
/// bits saturate at the largest 64-bit value.
/// @throws std::invalid_argument for a short page or log.
///@{
cloud::SMARTData convertNVMeSMARTData(std::span<const std::uint8_t> page);
cloud::SMARTData convertATASMARTData(std::span<const std::uint8_t> page,
                                     std::optional<std::span<const std::uint8_t>> deviceStatistics);
///@}

}  // namespace velmora
