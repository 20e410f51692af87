// The Linux drive backend: the sysfs walk over a laid-out tree, and every
// command it sends to a drive, checked as table rows against a stand-in for
// the pass-through ioctls that answers with canned replies.
#include <deque>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/sysfs_device_registry.hpp"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// One expected command: a SCSI CDB, or with none the NVMe SMART / Health
// log read; with the drive's canned reply and outcome.
struct Command {
  Bytes cdb = {};
  std::size_t dataLength = 512;
  Bytes reply = {};
  NVMeOutcome nvme = {};
  SCSIOutcome scsi = {};
};

SCSIOutcome checkCondition(Bytes sense) { return {0, 0x02, 0, 0x08, std::move(sense)}; }

// The commands a test expects, in order, and the device nodes opened.
struct CommandTable {
  std::deque<Command> expected;
  std::vector<std::string> opened;
  bool missingNode = false;
};

// Checks each command sent against the table's next row and answers with
// that row's reply.
class TablePassthrough final : public Passthrough {
 public:
  explicit TablePassthrough(std::shared_ptr<CommandTable> table) : table_(std::move(table)) {}

  NVMeOutcome nvmeAdmin(const NVMeAdminCommand& sent) override {
    const Command row = next();
    EXPECT_TRUE(row.cdb.empty()) << "an NVMe command where a SCSI one was expected";
    EXPECT_EQ(sent.opcode, 0x02);  // Get Log Page: SMART / Health, 128 dwords, all namespaces
    EXPECT_EQ(sent.nsid, 0xFFFFFFFFu);
    EXPECT_EQ(sent.cdw, (std::array<std::uint32_t, 6>{(127u << 16) | 0x02}));
    return reply(row, sent.data).nvme;
  }
  SCSIOutcome scsi(const SCSICommand& sent) override {
    const Command row = next();
    EXPECT_EQ(Bytes(sent.cdb.begin(), sent.cdb.end()), row.cdb);
    return reply(row, sent.dataIn).scsi;
  }

 private:
  Command next() {
    if (table_->expected.empty()) {
      ADD_FAILURE() << "a command more than expected";
      return {.nvme = {EIO, 0}, .scsi = {EIO, 0, 0, 0, {}}};
    }
    Command row = table_->expected.front();
    table_->expected.pop_front();
    return row;
  }
  static const Command& reply(const Command& row, std::span<std::uint8_t> data) {
    EXPECT_EQ(data.size(), row.dataLength);
    std::copy_n(row.reply.begin(), std::min(row.reply.size(), data.size()), data.begin());
    return row;
  }
  std::shared_ptr<CommandTable> table_;
};

class LinuxBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
    disk("pci/ata1/block/sda", "8:0");
    disk("pci/ata1/block/sda/sda1", "8:1", true);
    disk("pci/nvme/nvme0/nvme0n1", "259:0");
    disk("pci/nvme/nvme0/nvme0n1/nvme0n1p2", "259:2", true);
    fs::create_directories(root / "dev");
    table = std::make_shared<CommandTable>();
    registry = sysfsDeviceRegistry((root / "sys").string(), (root / "dev").string(),
                                   [table = table](const std::string& path, int& error) -> std::unique_ptr<Passthrough> {
                                     table->opened.push_back(fs::path(path).filename().string());
                                     if (table->missingNode) {
                                       error = ENOENT;
                                       return nullptr;
                                     }
                                     return std::make_unique<TablePassthrough>(table);
                                   });
  }
  void TearDown() override {
    EXPECT_TRUE(table->expected.empty()) << table->expected.size() << " command(s) never sent";
    fs::remove_all(root);
  }

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

  std::unique_ptr<SMARTUserClient> client(const std::string& name) {
    const Service service = registry->matchBSDName(name);
    std::unique_ptr<PlugIn> plugIn;
    EXPECT_EQ(registry->createPlugInInterface(service, {}, {}, plugIn), kKernSuccess);
    std::unique_ptr<SMARTUserClient> result;
    EXPECT_EQ(plugIn->queryInterface({}, result), kKernSuccess);
    return result;
  }

  fs::path root;
  std::shared_ptr<CommandTable> table;
  std::shared_ptr<DeviceRegistry> registry;
};

const Bytes kIdentifyCDB = {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
const Bytes kReadDataCDB = {0x85, 0x08, 0x0E, 0, 0xD0, 0, 1, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0};
const Bytes kEnableCDB = {0x85, 0x06, 0x00, 0, 0xD8, 0, 0, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0};
const Bytes kReadLog4CDB = {0x85, 0x08, 0x0E, 0, 0xD5, 0, 8, 0, 4, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0};
// Descriptor-format sense: ABORTED COMMAND with the ATA Status Return
// descriptor (error 0x04 ABRT, status 0x51 DRDY|DSC|ERR).
const Bytes kAbortedSense = {0x72, 0x0B, 0, 0, 0, 0, 0, 0x0E, 0x09, 0x0C, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x51};

// An IDENTIFY DEVICE page with words 82 and 83 set.
Bytes identify(std::uint16_t word82, std::uint16_t word83) {
  Bytes page(512, 0);
  page[164] = static_cast<std::uint8_t>(word82);
  page[165] = static_cast<std::uint8_t>(word82 >> 8);
  page[166] = static_cast<std::uint8_t>(word83);
  page[167] = static_cast<std::uint8_t>(word83 >> 8);
  return page;
}

using Operation = std::function<DeviceResult(SMARTUserClient&, std::span<std::uint8_t>)>;
const Operation readNVMe = [](SMARTUserClient& c, std::span<std::uint8_t> b) { return c.nvmeReadSMARTData(b.first<512>()); };
const Operation readATA = [](SMARTUserClient& c, std::span<std::uint8_t> b) { return c.ataReadSMARTData(b.first<512>()); };

TEST_F(LinuxBackendTest, CommandsAndTheirOutcomes) {
  const Bytes page = {0x00, 0x43, 0x01, 0x64};
  const struct {
    const char* name;
    Operation operation;
    Command command;
    KernReturn code;
    std::string deviceStatus;
  } cases[] = {
      {"NVMe SMART / Health log", readNVMe, {.reply = page}, 0, ""},
      {"NVMe ioctl refused", readNVMe, {.nvme = {EACCES, 0}}, EACCES, ""},
      {"NVMe invalid log page", readNVMe, {.nvme = {0, 0x4109}}, EIO,
       "NVMe status 0x4109 (type 1, code 0x09: Invalid Log Page)"},
      {"NVMe status without a name", readNVMe, {.nvme = {0, 0x0281}}, EIO, "NVMe status 0x0281 (type 2, code 0x81)"},
      {"ATA SMART READ DATA", readATA, {.cdb = kReadDataCDB, .reply = page}, 0, ""},
      {"ATA SMART ENABLE OPERATIONS", [](SMARTUserClient& c, auto) { return c.ataEnableDisableOperations(true); },
       {.cdb = kEnableCDB, .dataLength = 0}, 0, ""},
      {"ATA SMART READ LOG 4, eight sectors",
       [](SMARTUserClient& c, std::span<std::uint8_t> b) { return c.ataReadLogAtAddress(4, b); },
       {.cdb = kReadLog4CDB, .dataLength = 4096, .reply = page}, 0, ""},
      {"ATA command aborted", readATA, {.cdb = kReadDataCDB, .scsi = checkCondition(kAbortedSense)}, EIO,
       "SCSI sense key 0xB, ASC 0x00, ASCQ 0x00; ATA status 0x51, error 0x04 (command aborted)"},
      {"pass-through refused by a bridge (fixed sense)", readATA,
       {.cdb = kReadDataCDB, .scsi = checkCondition({0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0})}, EIO,
       "SCSI sense key 0x5, ASC 0x20, ASCQ 0x00"},
      {"pass-through information available", readATA,
       {.cdb = kReadDataCDB, .reply = page,
        .scsi = checkCondition({0x72, 0x01, 0, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x50})},
       0, ""},
      {"check condition without sense", readATA, {.cdb = kReadDataCDB, .scsi = checkCondition({})}, EIO,
       "SCSI status 0x02"},
      {"host adapter failure", readATA, {.cdb = kReadDataCDB, .scsi = {0, 0, 0x01, 0, {}}}, EIO, "SCSI host status 0x01"},
      {"SG_IO not supported", readATA, {.cdb = kReadDataCDB, .scsi = {ENOTTY, 0, 0, 0, {}}}, ENOTTY, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    table->expected = {c.command};
    Bytes buffer(c.command.dataLength == 0 ? 512 : c.command.dataLength, 0xEE);
    const DeviceResult result = c.operation(*client(c.command.cdb.empty() ? "nvme0n1" : "sda"), buffer);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.deviceStatus, c.deviceStatus);
    if (c.code == 0 && !c.command.reply.empty()) {
      EXPECT_TRUE(std::equal(page.begin(), page.end(), buffer.begin()));
    }
    EXPECT_TRUE(table->expected.empty());
  }
  // A log read of no whole sectors is refused before anything is sent.
  table->expected.clear();
  Bytes odd(1000);
  EXPECT_EQ(client("sda")->ataReadLogAtAddress(4, odd).code, EINVAL);
  EXPECT_EQ(client("sda")->ataReadLogAtAddress(256, std::span(odd).first(512)).code, EINVAL);
}

// "SMART Capable" is what IDENTIFY DEVICE says (word 82 bit 0, with words
// 82-83 marked valid in word 83), not merely that the drive answered.
TEST_F(LinuxBackendTest, ATACapabilityFromIdentify) {
  const struct {
    const char* name;
    Command identify;
    std::optional<bool> capable;
  } cases[] = {
      {"supported", {.cdb = kIdentifyCDB, .reply = identify(0x0001, 0x4000)}, true},
      {"not supported", {.cdb = kIdentifyCDB, .reply = identify(0x7468, 0x4000)}, false},
      {"words 82-83 not valid", {.cdb = kIdentifyCDB, .reply = identify(0xFFFF, 0xFFFF)}, std::nullopt},
      {"IDENTIFY aborted", {.cdb = kIdentifyCDB, .scsi = checkCondition(kAbortedSense)}, std::nullopt},
  };
  const Service sda = registry->matchBSDName("sda");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    table->expected = {c.identify};
    EXPECT_EQ(registry->booleanProperty(sda, "SMART Capable"), c.capable);
  }
  table->missingNode = true;
  EXPECT_EQ(registry->booleanProperty(sda, "SMART Capable"), std::nullopt);
  EXPECT_EQ(registry->booleanProperty(sda, "NVMe SMART Capable"), false);
  EXPECT_EQ(registry->booleanProperty(sda, "Other"), std::nullopt);
  const Service nvme = registry->matchBSDName("nvme0n1");
  EXPECT_EQ(registry->booleanProperty(nvme, "NVMe SMART Capable"), true);
  EXPECT_EQ(registry->booleanProperty(nvme, "SMART Capable"), false);
  EXPECT_EQ(registry->booleanProperty(registry->matchBSDName("nvme0n1p2"), "NVMe SMART Capable"), false);
  EXPECT_EQ(table->opened, (std::vector<std::string>{"sda", "sda", "sda", "sda", "sda"}));
}

// Names are sysfs entries only, never paths out of it; a partition's
// parent is its disk, and a disk has no block device above it.
TEST_F(LinuxBackendTest, SysfsWalk) {
  EXPECT_FALSE(registry->matchBSDName("sdz"));
  EXPECT_FALSE(registry->matchBSDName("../sda"));
  const Service partition = registry->matchBSDName("nvme0n1p2");
  Service disk, none;
  ASSERT_EQ(registry->parentEntry(partition, disk), 0);
  EXPECT_TRUE(registry->conformsToBlockStorageDevice(disk) && !registry->conformsToBlockStorageDevice(partition));
  EXPECT_EQ(registry->parentEntry(disk, none), ENOENT);
  table->missingNode = true;  // the open's errno, unchanged
  std::unique_ptr<PlugIn> plugIn;
  EXPECT_EQ(registry->createPlugInInterface(disk, {}, {}, plugIn), ENOENT);
  EXPECT_EQ(plugIn, nullptr);
}

TEST_F(LinuxBackendTest, WholeDrivesWithModelAndSerial) {
  disk("virtual/block/loop0", "7:0");
  const fs::path nvme = root / "sys/devices/pci/nvme/nvme0/nvme0n1/device", sata = root / "sys/devices/pci/ata1/block/sda/device";
  fs::create_directories(nvme);
  fs::create_directories(sata);
  std::ofstream(nvme / "model") << "Samsung SSD 980  \n";
  std::ofstream(nvme / "serial") << "  S64\x1b" << "ANS0\n";
  std::ofstream(sata / "vpd_pg80", std::ios::binary) << std::string("\0\x80\0\x06", 4) << "  WD-1 ";
  const std::vector<DriveDescription> expected = {{"nvme0n1", "Samsung SSD 980", "S64ANS0"}, {"sda", "", "WD-1"}};
  const auto drives = registry->wholeDrives();
  ASSERT_EQ(drives.size(), expected.size());
  for (std::size_t i = 0; i < drives.size(); ++i) {
    EXPECT_EQ(drives[i].bsdName + "|" + drives[i].model + "|" + drives[i].serial,
              expected[i].bsdName + "|" + expected[i].model + "|" + expected[i].serial);
  }
}

TEST_F(LinuxBackendTest, VolumeToDiskThroughTheDeviceNumbers) {
  struct stat info {};
  ASSERT_EQ(::stat(root.c_str(), &info), 0);
  const std::string numbers = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
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
