// What a SMARTReader holds, and how a reader over another device registry
// is made (the tests' registry double, or a backend of its own).
#pragma once

#include <memory>

#include "platform/serial_queue.hpp"
#include "platform/smart_device.hpp"
#include "velmora/smart/smart_reader.hpp"

namespace velmora {

namespace detail {

struct SMARTReaderImpl {
  static std::shared_ptr<SMARTReader> makeReader(std::shared_ptr<platform::DeviceRegistry> registry);

  // Runs `work` on the executor and waits for it (at once when already there).
  template <typename Work>
  auto onExecutor(Work&& work) {
    if (executor.isCurrent()) return work();
    return executor.sync(std::forward<Work>(work));
  }
  std::string bsdName(const std::filesystem::path& volume);
  cloud::SMARTData readByName(const std::string& bsdName);
  cloud::DriveHealthSnapshot snapshotByName(const std::string& bsdName);

  std::shared_ptr<platform::DeviceRegistry> registry;
  platform::SerialQueue executor{"SMARTReader"};
};

}  // namespace detail
}  // namespace velmora
