// The SMART reader through the registry double: every path, and everything
// given back on every path.
#include "velmora/smart/smart_reader.hpp"

#include <gtest/gtest.h>

#include "smart/fake_registry.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using test::FakeDevice;
using test::FakeRegistry;
using Case = SMARTError::Case;

FakeDevice nvmeDisk(const std::string& name) {
  FakeDevice disk;
  disk.bsdName = name;
  disk.blockStorage = true;
  disk.booleans["NVMe SMART Capable"] = true;
  disk.page[1] = 0x39;  // 313 K
  disk.page[2] = 0x01;
  return disk;
}

FakeDevice ataDisk(const std::string& name) {
  FakeDevice disk;
  disk.bsdName = name;
  disk.blockStorage = true;
  disk.booleans["SMART Capable"] = true;
  disk.page[2] = 194;  // temperature attribute, raw 40
  disk.page[2 + 5] = 40;
  return disk;
}

class SMARTReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry = std::make_shared<FakeRegistry>();
    reader = SMARTReader::Impl::makeReader(registry);
  }
  // Nothing may stay retained, created or queried after a request.
  void TearDown() override {
    EXPECT_EQ(registry->liveReferences, 0);
    EXPECT_EQ(registry->livePlugIns, 0);
    EXPECT_EQ(registry->liveInterfaces, 0);
  }
  void expectFailure(const std::string& name, Case expected, const std::string& text) {
    test::expectError<SMARTError>([&] { reader->getDriveSMARTData(name); }, expected, text);
  }
  std::shared_ptr<FakeRegistry> registry;
  std::shared_ptr<SMARTReader> reader;
};

// The texts that no reading below raises; the others are checked where
// they are raised.
TEST(SMARTErrorText, CasesNoPathRaises) {
  const std::pair<SMARTError, std::string> rows[] = {
      {SMARTError::failedToReadSMART(std::nullopt, std::nullopt), "Failed to read SMART data (NVMe: none, ATA: none)"},
      {SMARTError(Case::diskDoesNotConformToBlockStorageDevice), "Disk does not conform to block storage device"},
      {SMARTError(Case::failedToGetSMARTInterface), "Failed to get SMART interface"},
      {SMARTError::failedToReadSMARTData(-1), "Failed to read SMART data (kern_return: -1): Unknown kernel error -1"},
  };
  for (const auto& [error, text] : rows) EXPECT_EQ(std::string(error.what()), text);
  EXPECT_EQ(kernelReturnText(999999), "Unknown kernel error 999999");
}

TEST(SMARTErrorCompatibility, OnlyMissingUserClientsCount) {
  const SMARTError notNVMe(Case::diskNotNVMeSMARTCapable);
  const SMARTError notATA(Case::diskNotATASmartCapable);
  EXPECT_TRUE(notNVMe.isCompatibilityError());
  EXPECT_TRUE(notATA.isCompatibilityError());
  EXPECT_TRUE(SMARTError::failedToReadSMART(notNVMe, notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, SMARTError::failedToCreatePluginInterface(1)).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(SMARTError::failedToReadSMARTData(5), notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, std::nullopt).isCompatibilityError());
  EXPECT_FALSE(SMARTError::diskNotFound("x").isCompatibilityError());
}

TEST_F(SMARTReaderTest, NVMeCapableDiskNeverTriesATA) {
  registry->add(nvmeDisk("disk0"));
  const auto data = reader->getDriveSMARTData(std::string("disk0"));
  EXPECT_EQ(data.temperature(), 313u);
  EXPECT_EQ(registry->calls, (std::vector<std::string>{"create:nvme", "read"}));
}

TEST_F(SMARTReaderTest, NVMeReadFailureAfterOpeningIsReportedAsItself) {
  auto disk = nvmeDisk("disk0");
  disk.booleans["SMART Capable"] = true;
  disk.readResults = {platform::DeviceResult(5, "NVMe status 0x4109")};
  registry->add(disk);
  // What the device said follows the fixed text.
  expectFailure("disk0", Case::failedToReadSMARTData,
                "Failed to read SMART data (kern_return: 5): Input/output error; the device reported NVMe status 0x4109");
  EXPECT_EQ(registry->calls, (std::vector<std::string>{"create:nvme", "read"}));
}

TEST_F(SMARTReaderTest, ATAReadIsRetriedOnceAfterEnabling) {
  auto disk = ataDisk("disk1");
  disk.readResults = {5, 0};
  registry->add(disk);
  EXPECT_EQ(reader->getDriveSMARTData(std::string("disk1")).temperature(), 313u);
  EXPECT_EQ(registry->calls, (std::vector<std::string>{"create:ata", "read", "enable", "read", "log:4:4096"}));

  registry->device("disk1").readResults = {5, 22};
  registry->calls.clear();
  expectFailure("disk1", Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 22): Invalid argument");
}

TEST_F(SMARTReaderTest, FailedStatisticsLogStillYieldsData) {
  auto disk = ataDisk("disk1");
  disk.logResult = 5;
  disk.statistics.assign(4096, 0xFF);
  registry->add(disk);
  const auto data = reader->getDriveSMARTData(std::string("disk1"));
  EXPECT_EQ(data.temperature(), 313u);
  EXPECT_EQ(data.totalread(), 0u);
}

TEST_F(SMARTReaderTest, NeitherInterfaceGivesBothReasons) {
  FakeDevice disk;
  disk.bsdName = "disk2";
  disk.blockStorage = true;
  disk.booleans["NVMe SMART Capable"] = std::nullopt;  // present but not a boolean
  registry->add(disk);
  try {
    reader->getDriveSMARTData(std::string("disk2"));
    FAIL() << "expected a failure";
  } catch (const SMARTError& error) {
    EXPECT_EQ(error.errorCase(), Case::failedToReadSMART);
    EXPECT_TRUE(error.isCompatibilityError());
    EXPECT_STREQ(error.what(),
                 "Failed to read SMART data (NVMe: Disk is not NVMe SMART capable, ATA: Disk is not ATA SMART capable)");
  }
}

struct OpenCase {
  const char* name;
  std::function<void(FakeDevice&)> setUp;
  std::string ataReason;
};

// Every way opening can fail gives back what it got, and is the ATA reason
// of the combined error when the NVMe attempt was not possible.
TEST_F(SMARTReaderTest, OpeningFailuresReleaseEverything) {
  const OpenCase cases[] = {
      {"creation fails with a plug-in", [](FakeDevice& d) { d.createResult = 3; d.plugInWithFailure = true; },
       "Failed to create plugin interface (kern_return: 3): " + kernelReturnText(3)},
      {"creation succeeds without a plug-in", [](FakeDevice& d) { d.noPlugIn = true; },
       "Failed to create plugin interface (kern_return: 0): Unknown kernel error 0"},
      {"plug-in without function table", [](FakeDevice& d) { d.noFunctionTable = true; },
       "Failed to query SMART interface (kern_return: 56): " + kernelReturnText(56)},
      {"query fails with an interface", [](FakeDevice& d) { d.queryResult = -2147483647; d.interfaceWithFailure = true; },
       "Failed to query SMART interface (kern_return: -2147483647): Unknown kernel error -2147483647"},
      {"query succeeds without an interface", [](FakeDevice& d) { d.noInterface = true; },
       "Failed to query SMART interface (kern_return: 0): Unknown kernel error 0"},
  };
  for (const auto& c : cases) {
    auto disk = ataDisk("disk3");
    c.setUp(disk);
    registry->add(disk);
    try {
      reader->getDriveSMARTData(std::string("disk3"));
      ADD_FAILURE() << c.name;
    } catch (const SMARTError& error) {
      ASSERT_NE(error.ata(), nullptr) << c.name;
      EXPECT_EQ(error.ata()->errorDescription(), c.ataReason) << c.name;
      EXPECT_FALSE(error.isCompatibilityError()) << c.name;
    }
    EXPECT_EQ(registry->livePlugIns, 0) << c.name;
    EXPECT_EQ(registry->liveInterfaces, 0) << c.name;
    EXPECT_EQ(registry->liveReferences, 0) << c.name;
  }
}

TEST_F(SMARTReaderTest, ParentWalkStopsAtTheFirstBlockStorageDevice) {
  registry->add(nvmeDisk("disk4"));
  FakeDevice partition;
  partition.bsdName = "disk4s1";
  partition.parent = "disk4";
  registry->add(partition);
  FakeDevice volume;
  volume.bsdName = "disk5s1";
  volume.parent = "disk4s1";
  registry->add(volume);
  EXPECT_EQ(reader->getDriveSMARTData(std::string("disk5s1")).temperature(), 313u);
}

TEST_F(SMARTReaderTest, ParentWalkFailures) {
  FakeDevice orphan;
  orphan.bsdName = "disk6s1";
  orphan.parentMissing = true;
  registry->add(orphan);
  expectFailure("disk6s1", Case::failedToGetIODisk, "Failed to get IO disk");
  FakeDevice broken;
  broken.bsdName = "disk7s1";
  broken.parentResult = 5;
  registry->add(broken);
  expectFailure("disk7s1", Case::failedToGetParentEntry, "Failed to get parent entry (kern_return: 5): Input/output error");
  expectFailure("nothing", Case::diskNotFound, "Disk not found: nothing");
}

TEST_F(SMARTReaderTest, VolumesAndRetrievers) {
  registry->add(ataDisk("disk8"));
  registry->volumes["/Volumes/Data"] = "disk8";
  EXPECT_EQ(reader->getDriveSMARTData(std::filesystem::path("/Volumes/Data")).temperature(), 313u);
  test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::filesystem::path("/Volumes/None")); },
                                Case::DADiskError, "Disk Arbitration error: Failed to create DADisk from volume path");

  const auto retriever = reader->smartDataRetriever("/Volumes/Data");
  EXPECT_EQ(retriever->bsdName(), "disk8");
  EXPECT_EQ(retriever->getSMARTData().get().temperature(), 313u);
  const auto snapshot = retriever->getSnapshot().get();
  EXPECT_EQ(snapshot.method(), cloud::DriveHealthSnapshot::ATA);
  EXPECT_EQ(snapshot.healthdata().temperature(), 313u);
  EXPECT_EQ(snapshot.snapshotdate().size(), 20u);
  EXPECT_EQ(snapshot.snapshotdate().back(), 'Z');

  registry->add(nvmeDisk("disk9"));
  registry->volumes["/Volumes/Fast"] = "disk9";
  EXPECT_EQ(reader->smartDataRetriever("/Volumes/Fast")->getSnapshot().get().method(), cloud::DriveHealthSnapshot::NVME);
  auto failing = reader->smartDataRetriever("/Volumes/Data");
  registry->device("disk8").booleans.clear();
  EXPECT_THROW(failing->getSMARTData().get(), SMARTError);
}

TEST_F(SMARTReaderTest, RequestsFromManyThreadsRunOneAtATime) {
  registry->add(nvmeDisk("disk0"));
  const auto retriever = std::make_shared<SMARTReader::SMARTDataRetriever>(reader, "disk0");
  std::vector<std::future<cloud::SMARTData>> results;
  std::vector<std::thread> threads;
  std::mutex mutex;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        auto result = retriever->getSMARTData();
        std::lock_guard lock(mutex);
        results.push_back(std::move(result));
      }
      reader->getDriveSMARTData(std::string("disk0"));
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& result : results) EXPECT_EQ(result.get().temperature(), 313u);
}

}  // namespace
}  // namespace velmora
