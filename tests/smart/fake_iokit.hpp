// A fake of the IOKit, CoreFoundation and Disk Arbitration calls that the
// macOS drive backend makes, written from Apple's documentation of them and
// declared by the backend's SDK stand-in: registry entries with properties,
// volumes, and plug-ins and SMART interfaces whose tables check the object
// each entry is called with. Every reference it hands out is counted.
// Not thread-safe: the SMART reader makes every call from its one executor.
#pragma once

#include <IOKit/IOCFPlugIn.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::fake_iokit {

struct Device {
  std::string name;
  std::string parent = "";  // none
  bool blockStorage = true;
  kern_return_t parentResult = 0;
  std::map<std::string, std::optional<bool>> properties = {};  // nullopt: a number, not a boolean
  // Each opening step's result, and what it hands back with it.
  kern_return_t createResult = 0;
  bool createHandsPlugIn = true, plugInTable = true;
  HRESULT queryResult = S_OK;
  bool queryHandsInterface = true, interfaceTable = true;
  std::array<UInt8, 512> page{};
  std::vector<IOReturn> readResults = {};  // in order; missing: success
  IOReturn logResult = 0;
  std::vector<UInt8> statistics = std::vector<UInt8>(4096, 0);
};

// Starts afresh with these devices and volumes (mount path to BSD name).
void reset(std::vector<Device> devices, std::map<std::string, std::string> volumes = {});
Device& device(const std::string& name);
// The device calls made: "create:NVMe", "read", "enable:1", "log:ADDRESS:SIZE".
const std::vector<std::string>& calls();
// Misuse seen: an object that is not what the call takes (a wrong self
// pointer), an unknown UUID or plane, a release too many.
const std::vector<std::string>& faults();
// What was handed out and not given back; empty when all is balanced.
std::string outstanding();
int overlappingReads();

}  // namespace velmora::fake_iokit
