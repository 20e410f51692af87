// smart (--bsd NAME | --volume PATH) [--snapshot], smart decode ...
#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "errno_calls.hpp"
#include "front_end.hpp"
#include "velmora/smart/smart_reader.hpp"

namespace velmora::cli {

namespace {

using OrderedJson = nlohmann::ordered_json;

struct SmartOptions {
  std::string bsd, volume, nvme, ata, stats;
  bool snapshot = false;
};

OrderedJson messageJson(const google::protobuf::Message& message);

// One value of `field` (element `index` of a repeated field, else -1).
OrderedJson fieldJson(const google::protobuf::Message& message, const google::protobuf::FieldDescriptor* field,
                      int index) {
  using Field = google::protobuf::FieldDescriptor;
  const auto* r = message.GetReflection();
  const bool one = index < 0;
  switch (field->cpp_type()) {
    case Field::CPPTYPE_INT32: return one ? r->GetInt32(message, field) : r->GetRepeatedInt32(message, field, index);
    case Field::CPPTYPE_INT64: return one ? r->GetInt64(message, field) : r->GetRepeatedInt64(message, field, index);
    case Field::CPPTYPE_UINT32: return one ? r->GetUInt32(message, field) : r->GetRepeatedUInt32(message, field, index);
    case Field::CPPTYPE_UINT64: return one ? r->GetUInt64(message, field) : r->GetRepeatedUInt64(message, field, index);
    case Field::CPPTYPE_DOUBLE: return one ? r->GetDouble(message, field) : r->GetRepeatedDouble(message, field, index);
    case Field::CPPTYPE_FLOAT: return one ? r->GetFloat(message, field) : r->GetRepeatedFloat(message, field, index);
    case Field::CPPTYPE_BOOL: return one ? r->GetBool(message, field) : r->GetRepeatedBool(message, field, index);
    case Field::CPPTYPE_ENUM:
      return (one ? r->GetEnum(message, field) : r->GetRepeatedEnum(message, field, index))->name();
    case Field::CPPTYPE_STRING:
      return one ? r->GetString(message, field) : r->GetRepeatedString(message, field, index);
    case Field::CPPTYPE_MESSAGE:
      return messageJson(one ? r->GetMessage(message, field) : r->GetRepeatedMessage(message, field, index));
  }
  return nullptr;
}

// The front end's JSON for a message: its fields in their declared order
// under their declared names, every number a JSON number (64-bit counts
// too, exactly), enumerations by name, an optional field that is not set
// null.
OrderedJson messageJson(const google::protobuf::Message& message) {
  const auto* descriptor = message.GetDescriptor();
  const auto* reflection = message.GetReflection();
  OrderedJson out = OrderedJson::object();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const auto* field = descriptor->field(i);
    OrderedJson& value = out[field->name()];
    if (field->is_repeated()) {
      value = OrderedJson::array();
      for (int j = 0; j < reflection->FieldSize(message, field); ++j) value.push_back(fieldJson(message, field, j));
    } else if (field->has_presence() && !reflection->HasField(message, field)) {
      value = nullptr;
    } else {
      value = fieldJson(message, field, -1);
    }
  }
  return out;
}

std::string bytesText(std::uint64_t bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  std::ostringstream out;
  out.precision(unit == 0 ? 0 : 2);
  out << std::fixed << value << " " << units[unit] << " (" << bytes << " bytes)";
  return out.str();
}

std::string humanText(const cloud::SMARTData& data) {
  std::ostringstream out;
  out << "Temperature:          "
      << (data.temperature() == 0 ? std::string("unknown")
                                  : std::to_string(data.temperature()) + " K (" +
                                        std::to_string(static_cast<long long>(data.temperature()) - 273) + " °C)")
      << "\n";
  out << "Life remaining:       " << (data.has_life() ? std::to_string(data.life()) + " %" : "-") << "\n";
  out << "Total read:           " << bytesText(data.totalread()) << "\n";
  out << "Total written:        " << bytesText(data.totalwritten()) << "\n";
  out << "Power cycles:         " << data.powercycles() << "\n";
  out << "Power-on time:        " << data.poweronhours() << " hours\n";
  auto optional = [&out](const char* label, bool has, std::uint64_t value, const char* unit) {
    out << label << (has ? std::to_string(value) + unit : std::string("-")) << "\n";
  };
  optional("Host read commands:   ", data.has_hostreadcommands(), data.hostreadcommands(), "");
  optional("Host write commands:  ", data.has_hostwritecommands(), data.hostwritecommands(), "");
  optional("Controller busy time: ", data.has_controllerbusytime(), data.controllerbusytime(), " minutes");
  optional("Available spare:      ", data.has_availablespare(), data.availablespare(), " %");
  optional("Spare threshold:      ", data.has_sparethreshold(), data.sparethreshold(), " %");
  optional("Unsafe shutdowns:     ", data.has_unsafeshutdowns(), data.unsafeshutdowns(), "");
  optional("Media errors:         ", data.has_mediaerrors(), data.mediaerrors(), "");
  out << "Critical warning:     " << Cloud_NVMeCriticalWarning::description(data.criticalwarning()) << "\n";
  return out.str();
}

// A saved raw page of at least `size` bytes (only the first `size` count).
// A file past the limit is refused after reading just past it, so that a
// device like /dev/zero cannot fill memory. stdio, whose failures set errno,
// so that a file that cannot be read fails with its errno.
std::vector<std::uint8_t> readPage(const std::string& path, std::size_t size, const char* what) {
  constexpr std::size_t kLimit = 1 << 20;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) platform::throwErrno(errno, "Cannot read " + path);
  std::vector<std::uint8_t> bytes(kLimit + 1);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  if (std::ferror(file.get())) platform::throwErrno(errno, "Cannot read " + path);
  if (bytes.size() > kLimit) {
    throw CommandError("CommandError", "pageTooLarge",
                       path + " is larger than 1 MiB: not a raw SMART page (512 bytes; a statistics log 4096)");
  }
  if (bytes.size() < size) {
    throw CommandError("CommandError", "pageTooShort",
                       path + ": " + what + " needs " + std::to_string(size) + " bytes, got " +
                           std::to_string(bytes.size()));
  }
  return bytes;
}

int print(const cloud::SMARTData& data, const Options& options) {
  if (options.json) {
    printOrderedJson(messageJson(data));
  } else {
    printRaw(humanText(data));
  }
  return 0;
}

}  // namespace

void addSmartCommands(CLI::App& app, const Options& options, Action& action) {
  auto smart = std::make_shared<SmartOptions>();
  auto* command = app.add_subcommand("smart", "Drive health from SMART data");
  auto* bsd = command->add_option("--bsd", smart->bsd, "The disk's BSD name (on Linux its block device name, e.g. sda)")
                  ->type_name("NAME");
  auto* volume = command->add_option("--volume", smart->volume, "A path on the mounted volume")->type_name("PATH");
  bsd->excludes(volume);
  command->add_flag("--snapshot", smart->snapshot, "A dated snapshot with the reading method");
  command->callback([command, smart, &options, &action] {
    if (command->get_subcommands().empty() && smart->bsd.empty() && smart->volume.empty()) {
      throw CLI::ValidationError("smart", "give --bsd NAME, --volume PATH or the decode command");
    }
    if (!command->get_subcommands().empty()) return;
    action = [smart, &options] {
      const auto& reader = SMARTReader::shared();
      if (smart->snapshot) {
        const auto retriever = smart->bsd.empty() ? reader->smartDataRetriever(smart->volume)
                                                  : reader->smartDataRetrieverForBSDName(smart->bsd);
        const auto snapshot = retriever->getSnapshot().get();
        if (options.json) {
          printOrderedJson(messageJson(snapshot));
        } else {
          printRaw("Snapshot:             " + snapshot.snapshotdate() + " (" +
                   cloud::DriveHealthSnapshot::Method_Name(snapshot.method()) + ")\n" + humanText(snapshot.healthdata()));
        }
        return 0;
      }
      return print(smart->bsd.empty() ? reader->getDriveSMARTData(std::filesystem::path(smart->volume))
                                      : reader->getDriveSMARTData(smart->bsd),
                   options);
    };
  });

  auto* decode = command->add_subcommand("decode", "Convert saved raw SMART pages (512 bytes; statistics 4096)");
  auto* nvme = decode->add_option("--nvme", smart->nvme, "An NVMe SMART / Health log page")->type_name("FILE");
  auto* ata = decode->add_option("--ata", smart->ata, "An ATA SMART data page")->type_name("FILE");
  decode->add_option("--stats", smart->stats, "The ATA Device Statistics log")->type_name("FILE")->needs(ata);
  nvme->excludes(ata);
  decode->callback([smart, &options, &action] {
    if (smart->nvme.empty() && smart->ata.empty()) throw CLI::ValidationError("decode", "give --nvme FILE or --ata FILE");
    action = [smart, &options] {
      if (!smart->nvme.empty()) {
        return print(convertNVMeSMARTData(readPage(smart->nvme, kSMARTPageSize, "an NVMe SMART / Health log page")),
                     options);
      }
      const auto page = readPage(smart->ata, kSMARTPageSize, "an ATA SMART data page");
      if (smart->stats.empty()) return print(convertATASMARTData(page, std::nullopt), options);
      const auto statistics = readPage(smart->stats, kDeviceStatisticsLogSize, "an ATA Device Statistics log");
      return print(convertATASMARTData(page, std::span<const std::uint8_t>(statistics)), options);
    };
  });
}

}  // namespace velmora::cli
