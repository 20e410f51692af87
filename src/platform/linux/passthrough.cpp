#include "platform/linux/passthrough.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include "platform/unique_fd.hpp"

namespace velmora::platform {

namespace {

constexpr unsigned kCommandTimeoutMs = 10000;

class DeviceNode final : public Passthrough {
 public:
  explicit DeviceNode(UniqueFd fd) : fd_(std::move(fd)) {}

  NVMeOutcome nvmeAdmin(const NVMeAdminCommand& command) override {
    nvme_admin_cmd raw{};
    raw.opcode = command.opcode;
    raw.nsid = command.nsid;
    raw.addr = reinterpret_cast<std::uintptr_t>(command.data.data());
    raw.data_len = static_cast<std::uint32_t>(command.data.size());
    raw.cdw10 = command.cdw[0];
    raw.cdw11 = command.cdw[1];
    raw.cdw12 = command.cdw[2];
    raw.cdw13 = command.cdw[3];
    raw.cdw14 = command.cdw[4];
    raw.cdw15 = command.cdw[5];
    raw.timeout_ms = kCommandTimeoutMs;
    // A negative result is the ioctl's failure; a positive one is the
    // status field the device completed the command with.
    const int result = ::ioctl(fd_.get(), NVME_IOCTL_ADMIN_CMD, &raw);
    if (result < 0) return {errno, 0};
    return {0, static_cast<std::uint32_t>(result)};
  }

  SCSIOutcome scsi(const SCSICommand& command) override {
    std::array<std::uint8_t, 32> sense{};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    const bool dataIn = !command.dataIn.empty();
    io.dxfer_direction = dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    io.cmd_len = static_cast<unsigned char>(command.cdb.size());
    // SG_IO does not write through cmdp; the header just is not const.
    io.cmdp = const_cast<unsigned char*>(command.cdb.data());
    io.mx_sb_len = sense.size();
    io.sbp = sense.data();
    io.dxferp = dataIn ? command.dataIn.data() : nullptr;
    io.dxfer_len = static_cast<unsigned>(command.dataIn.size());
    io.timeout = kCommandTimeoutMs;
    SCSIOutcome outcome;
    if (::ioctl(fd_.get(), SG_IO, &io) < 0) {
      outcome.error = errno;
      return outcome;
    }
    outcome.status = io.status;
    outcome.hostStatus = io.host_status;
    outcome.driverStatus = io.driver_status;
    outcome.sense.assign(sense.begin(), sense.begin() + std::min<std::size_t>(io.sb_len_wr, sense.size()));
    return outcome;
  }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<Passthrough> openPassthrough(const std::string& path, int& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = errno;
    return nullptr;
  }
  return std::make_unique<DeviceNode>(std::move(fd));
}

}  // namespace velmora::platform
