#include "sim_reports.hpp"

#include <sstream>

#include "sim_support.hpp"

namespace lucid_sim {

std::vector<Instance> readInstances(const std::string& state) {
  std::vector<Instance> instances;
  std::istringstream lines(readFile(state + "/instances"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    if (fields.size() < 4) continue;
    fields.resize(5);
    instances.push_back({fields[0], fields[1], fields[2], fields[3], fields[4] == "-" ? "" : fields[4]});
  }
  return instances;
}

std::string listOutput(const std::vector<Instance>& instances, const std::vector<std::string>& options) {
  auto has = [&](const char* option) {
    for (const auto& o : options) if (o == option) return true;
    return false;
  };
  if (has("empty-list")) return "";
  std::string out;
  if (has("notice")) out += "Notice: a newer version of Lucid is available.\n";
  if (!has("broken-list")) out += "INSTANCE ID    FILESPACE                PORT    MODE\n";
  for (const auto& i : instances) {
    out += has("broken-list") ? i.id + "|" + i.filespace + "\n"
                              : padded(i.id, 15) + padded(i.filespace, 25) + padded(i.port, 8) + i.mode + "\n";
  }
  if (has("crlf")) {
    std::string converted;
    for (const char c : out) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
    out = converted;
  }
  return out;
}

const Instance* findInstance(const std::vector<Instance>& instances, const std::string& id) {
  for (const auto& instance : instances) {
    if (id.empty() || instance.id == id) return &instance;
  }
  return nullptr;
}

std::string statusOutput(const Instance& i) {
  std::string out = "Client state: Linked\n";
  out += "Filespace name: " + i.filespace + "\n";
  out += "Filespace object store provider: Amazon S3\n";
  out += "Filespace object store region: us-east-1\n";
  out += "User: admin@" + i.filespace + " [Administrator]\n";
  if (!i.mountPoint.empty()) out += "Mount point: " + i.mountPoint + "\n";
  out += "Mode: " + i.mode + "\n";
  out += "Port: " + i.port + "\n";
  out += "Uptime: 01:02:03\n";
  return out;
}

std::string cacheOutput(const Instance&) {
  return "Cache location: /var/cache/lucid\n"
         "Cache limit: 10.00 GiB\n"
         "Current size on disk: 1.25 GiB\n"
         "Remaining upload: 0 B\n";
}

}  // namespace lucid_sim
