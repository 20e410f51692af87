// The SMART reader over the macOS backend, linked against a fake of IOKit,
// CoreFoundation and Disk Arbitration whose every call can fail as told:
// each path, the UUIDs, keys and objects each call is given, and everything
// given back on each path.
#include "velmora/smart/smart_reader.hpp"

#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "smart/fake_iokit.hpp"
#include "smart/smart_reader_impl.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using Case = SMARTError::Case;
using fake_iokit::Device;

// Disks whose page reads 313 K, as NVMe and as ATA (attribute 194, raw 40 °C).
Device nvmeDisk(const std::string& name, const std::function<void(Device&)>& change = nullptr) {
  Device disk{.name = name, .properties = {{"NVMe SMART Capable", true}}};
  disk.page[1] = 0x39;
  disk.page[2] = 0x01;
  if (change) change(disk);
  return disk;
}
Device ataDisk(const std::string& name, const std::function<void(Device&)>& change = nullptr) {
  Device disk{.name = name, .properties = {{"SMART Capable", true}}};
  disk.page[2] = 194;
  disk.page[7] = 40;
  if (change) change(disk);
  return disk;
}
Device partition(const std::string& name, const std::string& parent, kern_return_t parentResult = 0) {
  return Device{.name = name, .parent = parent, .blockStorage = false, .parentResult = parentResult};
}

std::shared_ptr<SMARTReader> macOSReader() { return SMARTReader::Impl::makeReader(platform::systemDeviceRegistry()); }

// Nothing outstanding and no call given the wrong object, UUID or plane.
void expectBalanced() {
  EXPECT_EQ(fake_iokit::outstanding(), "");
  EXPECT_EQ(fake_iokit::faults(), std::vector<std::string>{});
}

struct ReadCase {
  const char* name;
  std::vector<Device> devices;
  std::optional<Case> error = std::nullopt;  // none: the disk's page, 313 K
  std::string text = "";
  std::vector<std::string> calls = {};  // checked when given
};

// Each read by name: its outcome, the calls it made, and nothing left
// retained, created or queried afterwards.
TEST(SMARTReader, ReadsByNameAndGivesEverythingBackOnEveryPath) {
  const std::string notNVMe = "Failed to read SMART data (NVMe: Disk is not NVMe SMART capable, ATA: ";
  const ReadCase cases[] = {
      {"an NVMe capable disk never tries ATA", {nvmeDisk("d", [](auto& d) { d.properties["SMART Capable"] = true; })},
       std::nullopt, "", {"create:NVMe", "read"}},
      {"an NVMe read failure after opening is itself", {nvmeDisk("d", [](auto& d) { d.readResults = {5}; })},
       Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 5): (os/kern) failure"},
      {"an interface without a function table", {nvmeDisk("d", [](auto& d) { d.interfaceTable = false; })},
       Case::failedToGetSMARTInterface, "Failed to get SMART interface", {"create:NVMe"}},
      {"an ATA read is retried once after enabling", {ataDisk("d", [](auto& d) { d.readResults = {5, 0}; })},
       std::nullopt, "", {"create:ATA", "read", "enable:1", "read", "log:4:4096"}},
      {"the retry's failure is the one reported", {ataDisk("d", [](auto& d) { d.readResults = {5, 22}; })},
       Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 22): Unknown kernel error 22"},
      {"a refused statistics log still yields data, without totals",
       {ataDisk("d", [](auto& d) { d.logResult = 5; d.statistics.assign(4096, 0xFF); })}},
      {"neither interface: both reasons", {Device{.name = "d", .properties = {{"NVMe SMART Capable", std::nullopt}}}},
       Case::failedToReadSMART, notNVMe + "Disk is not ATA SMART capable)"},
      {"creation fails and hands a plug-in back", {ataDisk("d", [](auto& d) { d.createResult = 3; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 3): Unknown kernel error 3)"},
      {"creation succeeds without a plug-in", {ataDisk("d", [](auto& d) { d.createHandsPlugIn = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 0): Unknown kernel error 0)"},
      {"a plug-in without a function table", {ataDisk("d", [](auto& d) { d.plugInTable = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 56): (os/kern) not found)"},
      {"the query fails and hands an interface back", {ataDisk("d", [](auto& d) { d.queryResult = E_NOINTERFACE; })},
       Case::failedToReadSMART,
       notNVMe + "Failed to query SMART interface (kern_return: -2147483644): Unknown kernel error -2147483644)"},
      {"the query succeeds without an interface", {ataDisk("d", [](auto& d) { d.queryHandsInterface = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 0): Unknown kernel error 0)"},
      {"the parent walk stops at the first block storage device",
       {nvmeDisk("disk4"), partition("disk4s1", "disk4"), partition("d", "disk4s1")}},
      {"the parent walk ends without a disk", {partition("d", "")}, Case::failedToGetIODisk, "Failed to get IO disk"},
      {"the parent walk fails", {partition("d", "disk4", 5)}, Case::failedToGetParentEntry,
       "Failed to get parent entry (kern_return: 5): (os/kern) failure"},
      {"no such disk", {}, Case::diskNotFound, "Disk not found: d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_iokit::reset(c.devices);
    const auto reader = macOSReader();
    if (c.error) {
      test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::string("d")); }, *c.error, c.text);
    } else {
      const auto data = reader->getDriveSMARTData(std::string("d"));
      EXPECT_EQ(data.temperature(), 313u);
      EXPECT_EQ(data.totalread(), 0u);
    }
    if (!c.calls.empty()) {
      EXPECT_EQ(fake_iokit::calls(), c.calls);
    }
    expectBalanced();
  }
}

TEST(SMARTError, OnlyMissingUserClientsAreCompatibilityErrors) {
  const SMARTError notNVMe(Case::diskNotNVMeSMARTCapable);
  const SMARTError notATA(Case::diskNotATASmartCapable);
  EXPECT_TRUE(SMARTError::failedToReadSMART(notNVMe, notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, SMARTError::failedToCreatePluginInterface(1)).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(SMARTError::failedToReadSMARTData(5), notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, std::nullopt).isCompatibilityError());
  EXPECT_FALSE(SMARTError::diskNotFound("x").isCompatibilityError());
  // What the device said, where a backend has it, follows the platform's code.
  EXPECT_EQ(SMARTError::failedToReadSMARTData(5, "NVMe status 0x4109").errorDescription(),
            "Failed to read SMART data (kern_return: 5): " + kernelReturnText(5) + "; the device reported NVMe status 0x4109");
}

// Retrievers resolve the volume once and look the disk up afresh on each
// request; the snapshot says which method read it.
TEST(SMARTReader, VolumesAndRetrievers) {
  fake_iokit::reset({ataDisk("disk8"), nvmeDisk("disk9")}, {{"/Volumes/Data", "disk8"}, {"/Volumes/Fast", "disk9"}});
  const auto reader = macOSReader();
  EXPECT_EQ(reader->getDriveSMARTData(std::filesystem::path("/Volumes/Data")).temperature(), 313u);
  test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::filesystem::path("/Volumes/None")); },
                                Case::DADiskError, "Disk Arbitration error: Failed to create DADisk from volume path");

  const auto retriever = reader->smartDataRetriever("/Volumes/Data");
  EXPECT_EQ(retriever->bsdName(), "disk8");
  const auto snapshot = retriever->getSnapshot().get();
  EXPECT_EQ(snapshot.method(), cloud::DriveHealthSnapshot::ATA);
  EXPECT_EQ(snapshot.healthdata().temperature(), 313u);
  EXPECT_EQ(reader->smartDataRetriever("/Volumes/Fast")->getSnapshot().get().method(), cloud::DriveHealthSnapshot::NVME);
  fake_iokit::device("disk8").properties.clear();
  EXPECT_THROW(retriever->getSMARTData().get(), SMARTError);
  expectBalanced();
}

TEST(SMARTReader, RequestsFromManyThreadsRunOneAtATime) {
  fake_iokit::reset({nvmeDisk("disk0")});
  const auto reader = macOSReader();
  const auto retriever = std::make_shared<SMARTReader::SMARTDataRetriever>(reader, "disk0");
  std::vector<std::future<cloud::SMARTData>> results[4];
  std::vector<std::thread> threads;
  for (auto& mine : results) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) mine.push_back(retriever->getSMARTData());
      EXPECT_EQ(reader->getDriveSMARTData(std::string("disk0")).temperature(), 313u);
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& mine : results) {
    for (auto& result : mine) EXPECT_EQ(result.get().temperature(), 313u);
  }
  EXPECT_EQ(fake_iokit::overlappingReads(), 0);
  expectBalanced();
}

}  // namespace
}  // namespace velmora
