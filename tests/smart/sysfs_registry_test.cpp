// The Linux registry backend over a laid-out sysfs tree.
#include "platform/linux/sysfs_device_registry.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "velmora/smart/smart_reader.hpp"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

class SysfsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
    disk("pci/ata1/block/sda", "8:0");
    disk("pci/ata1/block/sda/sda1", "8:1", true);
    disk("pci/nvme/nvme0/nvme0n1", "259:0");
    disk("pci/nvme/nvme0/nvme0n1/nvme0n1p2", "259:2", true);
    fs::create_directories(root / "dev");
  }
  void TearDown() override { fs::remove_all(root); }

  // A block device folder as sysfs shows it, with its class and dev links.
  void disk(const std::string& path, const std::string& numbers, bool partition = false) {
    const fs::path folder = root / "sys/devices" / path;
    fs::create_directories(folder);
    std::ofstream(folder / "dev") << numbers << "\n";
    if (partition) std::ofstream(folder / "partition") << "1\n";
    fs::create_directories(root / "sys/class/block");
    fs::create_directories(root / "sys/dev/block");
    fs::create_symlink(folder, root / "sys/class/block" / folder.filename());
    fs::create_symlink(folder, root / "sys/dev/block" / numbers);
  }

  fs::path root;
};

TEST_F(SysfsRegistryTest, MatchesWalksAndReportsCapabilities) {
  auto registry = sysfsDeviceRegistry((root / "sys").string(), (root / "dev").string());
  EXPECT_FALSE(registry->matchBSDName("sdz"));
  EXPECT_FALSE(registry->matchBSDName("../sda"));

  Service partition = registry->matchBSDName("nvme0n1p2");
  ASSERT_TRUE(partition);
  EXPECT_FALSE(registry->conformsToBlockStorageDevice(partition));
  Service parent;
  ASSERT_EQ(registry->parentEntry(partition, parent), 0);
  EXPECT_TRUE(registry->conformsToBlockStorageDevice(parent));
  EXPECT_EQ(registry->booleanProperty(parent, "NVMe SMART Capable"), true);
  EXPECT_EQ(registry->booleanProperty(parent, "SMART Capable"), false);

  Service sda = registry->matchBSDName("sda");
  EXPECT_EQ(registry->booleanProperty(sda, "NVMe SMART Capable"), false);
  EXPECT_EQ(registry->booleanProperty(sda, "SMART Capable"), false);  // no device node to ask
  EXPECT_EQ(registry->booleanProperty(sda, "Other"), std::nullopt);

  std::unique_ptr<PlugIn> plugIn;
  EXPECT_EQ(registry->createPlugInInterface(sda, {}, {}, plugIn), ENOENT);
  EXPECT_EQ(plugIn, nullptr);
}

TEST_F(SysfsRegistryTest, ReaderReportsTheMissingDeviceNode) {
  auto reader = SMARTReader::create(sysfsDeviceRegistry((root / "sys").string(), (root / "dev").string()));
  try {
    reader->getDriveSMARTData(std::string("sda1"));
    FAIL() << "expected a failure";
  } catch (const SMARTError& error) {
    EXPECT_STREQ(error.what(),
                 "Failed to read SMART data (NVMe: Disk is not NVMe SMART capable, ATA: Disk is not ATA SMART capable)");
  }
  try {
    reader->getDriveSMARTData(std::string("nvme0n1"));
    FAIL() << "expected a failure";
  } catch (const SMARTError& error) {
    EXPECT_STREQ(error.what(), "Failed to read SMART data (NVMe: Failed to create plugin interface (kern_return: 2): "
                               "No such file or directory, ATA: Disk is not ATA SMART capable)");
  }
}

TEST_F(SysfsRegistryTest, VolumeToDiskThroughTheDeviceNumbers) {
  struct stat info {};
  ASSERT_EQ(::stat(root.c_str(), &info), 0);
  const std::string numbers = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
  auto registry = sysfsDeviceRegistry((root / "sys").string(), (root / "dev").string());
  std::string error;
  EXPECT_EQ(registry->bsdNameForVolume(root.string(), error), std::nullopt);
  EXPECT_EQ(error, "Failed to get BSD name");
  disk("virtual/block/testvol", numbers);
  EXPECT_EQ(registry->bsdNameForVolume(root.string(), error), "testvol");
  EXPECT_EQ(registry->bsdNameForVolume((root / "missing").string(), error), std::nullopt);
  EXPECT_EQ(error, "Failed to create DADisk from volume path");
}

}  // namespace
}  // namespace velmora::platform
