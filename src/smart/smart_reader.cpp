#include "velmora/smart/smart_reader.hpp"

#include "smart/smart_interfaces.hpp"
#include "smart/smart_reader_impl.hpp"

namespace velmora {

std::string kernelReturnText(std::int32_t code) {
  if (auto text = platform::systemResultText(code)) return *text;
  return "Unknown kernel error " + std::to_string(code);
}

namespace {

std::string codeText(const char* what, std::int32_t code) {
  return std::string(what) + " (kern_return: " + std::to_string(code) + "): " + kernelReturnText(code);
}

std::string fixedText(SMARTError::Case errorCase, const std::string& text, std::int32_t code,
                      const SMARTError* nvme, const SMARTError* ata) {
  using Case = SMARTError::Case;
  switch (errorCase) {
    case Case::DADiskError: return "Disk Arbitration error: " + text;
    case Case::diskNotFound: return "Disk not found: " + text;
    case Case::failedToGetParentEntry: return codeText("Failed to get parent entry", code);
    case Case::failedToCreatePluginInterface: return codeText("Failed to create plugin interface", code);
    case Case::failedToQuerySMARTInterface: return codeText("Failed to query SMART interface", code);
    case Case::failedToReadSMARTData: return codeText("Failed to read SMART data", code);
    case Case::failedToReadSMART:
      return "Failed to read SMART data (NVMe: " + (nvme ? nvme->errorDescription() : std::string("none")) +
             ", ATA: " + (ata ? ata->errorDescription() : std::string("none")) + ")";
    case Case::failedToGetIODisk: return "Failed to get IO disk";
    case Case::diskDoesNotConformToBlockStorageDevice: return "Disk does not conform to block storage device";
    case Case::diskNotNVMeSMARTCapable: return "Disk is not NVMe SMART capable";
    case Case::failedToGetSMARTInterface: return "Failed to get SMART interface";
    case Case::diskNotATASmartCapable: return "Disk is not ATA SMART capable";
  }
  return "SMART error";
}

std::string describeError(SMARTError::Case errorCase, const std::string& text, std::int32_t code,
                          const std::string& deviceStatus, const SMARTError* nvme, const SMARTError* ata) {
  std::string description = fixedText(errorCase, text, code, nvme, ata);
  if (!deviceStatus.empty()) description += "; the device reported " + deviceStatus;
  return description;
}

}  // namespace

SMARTError::SMARTError(Case errorCase) : SMARTError(errorCase, {}, 0, {}, nullptr, nullptr) {}

SMARTError::SMARTError(Case errorCase, std::string text, std::int32_t kernReturn, std::string deviceStatus,
                       std::shared_ptr<const SMARTError> nvme, std::shared_ptr<const SMARTError> ata)
    : Error(describeError(errorCase, text, kernReturn, deviceStatus, nvme.get(), ata.get()), kernReturn),
      case_(errorCase),
      text_(std::move(text)),
      deviceStatus_(std::move(deviceStatus)),
      nvme_(std::move(nvme)),
      ata_(std::move(ata)) {}

const char* SMARTError::caseName() const noexcept {
  switch (case_) {
    case Case::DADiskError: return "DADiskError";
    case Case::diskNotFound: return "diskNotFound";
    case Case::failedToGetParentEntry: return "failedToGetParentEntry";
    case Case::failedToCreatePluginInterface: return "failedToCreatePluginInterface";
    case Case::failedToQuerySMARTInterface: return "failedToQuerySMARTInterface";
    case Case::failedToReadSMARTData: return "failedToReadSMARTData";
    case Case::failedToReadSMART: return "failedToReadSMART";
    case Case::failedToGetIODisk: return "failedToGetIODisk";
    case Case::diskDoesNotConformToBlockStorageDevice: return "diskDoesNotConformToBlockStorageDevice";
    case Case::diskNotNVMeSMARTCapable: return "diskNotNVMeSMARTCapable";
    case Case::failedToGetSMARTInterface: return "failedToGetSMARTInterface";
    case Case::diskNotATASmartCapable: return "diskNotATASmartCapable";
  }
  return "unknown";
}

SMARTError SMARTError::DADiskError(std::string message) {
  return SMARTError(Case::DADiskError, std::move(message), 0, {}, nullptr, nullptr);
}
SMARTError SMARTError::diskNotFound(std::string bsdName) {
  return SMARTError(Case::diskNotFound, std::move(bsdName), 0, {}, nullptr, nullptr);
}
SMARTError SMARTError::failedToGetParentEntry(std::int32_t code) {
  return SMARTError(Case::failedToGetParentEntry, {}, code, {}, nullptr, nullptr);
}
SMARTError SMARTError::failedToCreatePluginInterface(std::int32_t code) {
  return SMARTError(Case::failedToCreatePluginInterface, {}, code, {}, nullptr, nullptr);
}
SMARTError SMARTError::failedToQuerySMARTInterface(std::int32_t code) {
  return SMARTError(Case::failedToQuerySMARTInterface, {}, code, {}, nullptr, nullptr);
}
SMARTError SMARTError::failedToReadSMARTData(std::int32_t code, std::string deviceStatus) {
  return SMARTError(Case::failedToReadSMARTData, {}, code, std::move(deviceStatus), nullptr, nullptr);
}
SMARTError SMARTError::failedToReadSMART(std::optional<SMARTError> nvme, std::optional<SMARTError> ata) {
  return SMARTError(Case::failedToReadSMART, {}, 0, {},
                    nvme ? std::make_shared<const SMARTError>(std::move(*nvme)) : nullptr,
                    ata ? std::make_shared<const SMARTError>(std::move(*ata)) : nullptr);
}

bool SMARTError::isCompatibilityError() const noexcept {
  switch (case_) {
    case Case::diskNotNVMeSMARTCapable:
    case Case::diskNotATASmartCapable:
      return true;
    case Case::failedToReadSMART:
      return nvme_ && ata_ && nvme_->isCompatibilityError() && ata_->isCompatibilityError();
    default:
      return false;
  }
}

namespace {

// Walks up from the entry named `bsdName` to the first block storage device.
platform::Service blockStorageService(platform::DeviceRegistry& registry, const std::string& bsdName) {
  // The registry takes the name as a C string: a NUL byte would end it early,
  // at another disk's name.
  if (bsdName.find('\0') != std::string::npos) throw SMARTError::diskNotFound(bsdName);
  platform::Service current = registry.matchBSDName(bsdName);
  if (!current) throw SMARTError::diskNotFound(bsdName);
  while (!registry.conformsToBlockStorageDevice(current)) {
    platform::Service parent;
    const platform::KernReturn result = registry.parentEntry(current, parent);
    if (result != platform::kKernSuccess) throw SMARTError::failedToGetParentEntry(result);
    if (!parent) throw SMARTError(SMARTError::Case::failedToGetIODisk);
    current = std::move(parent);  // gives back the entry it stood on
  }
  return current;
}

// NVMe first, else ATA; both reasons when neither opens.
std::unique_ptr<VelmoraSMARTUtility::SMARTDataInterface> openInterface(const platform::Service& service) {
  std::optional<SMARTError> nvmeFailure;
  try {
    return std::make_unique<VelmoraSMARTUtility::NVMeSMARTInterface>(service);
  } catch (const SMARTError& error) {
    nvmeFailure = error;
  }
  try {
    return std::make_unique<VelmoraSMARTUtility::ATASMARTInterface>(service);
  } catch (const SMARTError& error) {
    throw SMARTError::failedToReadSMART(std::move(nvmeFailure), error);
  }
}

}  // namespace

SMARTReader::SMARTReader(std::unique_ptr<detail::SMARTReaderImpl> impl) : impl_(std::move(impl)) {}

SMARTReader::~SMARTReader() = default;

std::shared_ptr<SMARTReader> detail::SMARTReaderImpl::makeReader(std::shared_ptr<platform::DeviceRegistry> registry) {
  auto impl = std::make_unique<SMARTReaderImpl>();
  impl->registry = std::move(registry);
  return std::shared_ptr<SMARTReader>(new SMARTReader(std::move(impl)));
}

std::shared_ptr<SMARTReader> SMARTReader::create() {
  return detail::SMARTReaderImpl::makeReader(platform::systemDeviceRegistry());
}

const std::shared_ptr<SMARTReader>& SMARTReader::shared() {
  static const std::shared_ptr<SMARTReader> reader = create();
  return reader;
}

std::string detail::SMARTReaderImpl::bsdName(const std::filesystem::path& volume) {
  std::string error;
  auto name = registry->bsdNameForVolume(volume.string(), error);
  if (!name) throw SMARTError::DADiskError(error);
  return *name;
}

cloud::SMARTData detail::SMARTReaderImpl::readByName(const std::string& name) {
  const platform::Service service = blockStorageService(*registry, name);
  return openInterface(service)->readSMARTData();
}

cloud::DriveHealthSnapshot detail::SMARTReaderImpl::snapshotByName(const std::string& name) {
  const platform::Service service = blockStorageService(*registry, name);
  return openInterface(service)->readSnapshot();
}

cloud::SMARTData SMARTReader::getDriveSMARTData(const std::filesystem::path& driveURL) {
  return impl_->onExecutor([&] { return impl_->readByName(impl_->bsdName(driveURL)); });
}

std::vector<SMARTReader::Drive> SMARTReader::drives() {
  const auto described = impl_->onExecutor([&] { return impl_->registry->wholeDrives(); });
  std::vector<Drive> drives;
  drives.reserve(described.size());
  auto given = [](const std::string& text) { return text.empty() ? std::nullopt : std::optional<std::string>(text); };
  for (const auto& drive : described) drives.push_back({drive.bsdName, given(drive.model), given(drive.serial)});
  return drives;
}

cloud::SMARTData SMARTReader::getDriveSMARTData(const std::string& BSDName) {
  return impl_->onExecutor([&] { return impl_->readByName(BSDName); });
}

std::shared_ptr<SMARTReader::SMARTDataRetriever> SMARTReader::smartDataRetriever(const std::filesystem::path& driveURL) {
  std::string name = impl_->onExecutor([&] { return impl_->bsdName(driveURL); });
  return smartDataRetrieverForBSDName(name);
}

std::shared_ptr<SMARTReader::SMARTDataRetriever> SMARTReader::smartDataRetrieverForBSDName(const std::string& BSDName) {
  return std::shared_ptr<SMARTDataRetriever>(new SMARTDataRetriever(shared_from_this(), BSDName));
}

namespace {

// Runs `request` for `name` on the reader's executor; its outcome arrives
// through the future. The task holds the reader, so it outlives the request.
template <typename Result, typename Request>
std::future<Result> later(platform::SerialQueue& executor, std::shared_ptr<SMARTReader> reader, std::string name,
                          Request request) {
  auto promise = std::make_shared<std::promise<Result>>();
  auto result = promise->get_future();
  executor.async([reader = std::move(reader), name = std::move(name), promise, request] {
    try {
      promise->set_value(request(*reader, name));
    } catch (...) {
      promise->set_exception(std::current_exception());
    }
  });
  return result;
}

}  // namespace

std::future<cloud::SMARTData> SMARTReader::SMARTDataRetriever::getSMARTData() const {
  return later<cloud::SMARTData>(reader_->impl_->executor, reader_, bsdName_,
                                 [](SMARTReader& reader, const std::string& name) {
                                   return reader.impl_->readByName(name);
                                 });
}

std::future<cloud::DriveHealthSnapshot> SMARTReader::SMARTDataRetriever::getSnapshot() const {
  return later<cloud::DriveHealthSnapshot>(reader_->impl_->executor, reader_, bsdName_,
                                           [](SMARTReader& reader, const std::string& name) {
                                             return reader.impl_->snapshotByName(name);
                                           });
}

}  // namespace velmora
