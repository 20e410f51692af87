// The device registry of a Linux machine, read from sysfs: a block device
// is an entry; a partition's parent is its disk; a whole disk is the block
// storage device. NVMe namespaces are "NVMe SMART Capable"; another disk is
// "SMART Capable" when its ATA IDENTIFY DEVICE page says SMART is supported.
// The SMART pages are read with the NVMe admin Get Log Page command and with
// ATA PASS-THROUGH (16) through SG_IO. Result codes are errno values; what a
// device itself reports comes as DeviceResult::deviceStatus.
//
// The sysfs and /dev roots and the way device nodes are opened are
// parameters, so tests can lay out a tree and answer the commands.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/linux/passthrough.hpp"
#include "platform/smart_device.hpp"

namespace velmora::platform {

using PassthroughOpener = std::function<std::unique_ptr<Passthrough>(const std::string& path, int& error)>;

std::shared_ptr<DeviceRegistry> sysfsDeviceRegistry(std::string sysRoot = "/sys", std::string devRoot = "/dev",
                                                    PassthroughOpener open = openPassthrough);

}  // namespace velmora::platform
