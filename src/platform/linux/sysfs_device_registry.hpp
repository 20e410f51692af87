// The device registry of a Linux machine, read from sysfs: a block device
// is an entry; a partition's parent is its disk; a whole disk is the block
// storage device. NVMe namespaces are "NVMe SMART Capable"; other disks are
// "SMART Capable" when they answer an ATA IDENTIFY through SG_IO. The SMART
// pages are read with the NVMe admin Get Log Page ioctl and with ATA
// PASS-THROUGH (16) commands. Result codes are errno values.
//
// The sysfs and /dev roots are parameters, so tests can lay out a tree.
#pragma once

#include <memory>
#include <string>

#include "platform/smart_device.hpp"

namespace velmora::platform {

std::shared_ptr<DeviceRegistry> sysfsDeviceRegistry(std::string sysRoot = "/sys", std::string devRoot = "/dev");

}  // namespace velmora::platform
