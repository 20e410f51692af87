#include "serve/web_config.hpp"

#include "errno_calls.hpp"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

namespace velmora::cli::serve {

namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& why) {
  throw WebConfigError(file.string() + ": " + why);
}

// A name from the file as shown in a message: a long one is cut, so that a
// huge key does not become a huge message (the front end escapes controls).
std::string shown(const std::string& name) {
  return name.size() <= 64 ? name : name.substr(0, 64) + "...";
}

// The whole of a regular file of at most 1 MiB. Opened without blocking so
// that a FIFO in its place cannot hang the start; the size is checked while
// reading, not by stat alone, so a growing file cannot slip past.
std::string readBounded(const std::filesystem::path& file) {
  const Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) fail(file, std::string("cannot open: ") + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail(file, std::string("cannot read: ") + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) fail(file, "not a regular file");
  std::string data;
  std::array<char, 64 * 1024> buffer{};
  for (;;) {
    const ssize_t count =
        velmora::platform::retryOnInterrupt([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
    if (count < 0) fail(file, std::string("cannot read: ") + std::strerror(errno));
    if (count == 0) break;
    if (static_cast<std::size_t>(count) > kMaxFileBytes - data.size()) fail(file, "larger than 1 MiB");
    data.append(buffer.data(), static_cast<std::size_t>(count));
  }
  return data;
}

// A PEM file handed on as a C string: a NUL byte would silently cut it.
std::string readPem(const std::filesystem::path& config, const std::string& key, const YAML::Node& value,
                    std::string_view marker, const std::string& what) {
  if (!value.IsScalar() || value.Scalar().empty()) fail(config, key + " must be a file name");
  std::filesystem::path file(value.Scalar());
  if (file.is_relative()) file = config.parent_path() / file;
  std::string pem = readBounded(file);
  if (pem.find('\0') != std::string::npos || pem.find(marker) == std::string::npos) {
    fail(file, "not " + what + " in PEM (" + key + ")");
  }
  return pem;
}

// Every key of `map` must be one of `known`: a key the exporter does not
// apply (a TLS version floor, response headers) is refused rather than
// silently ignored, since an operator relying on it would be misled.
void checkKeys(const std::filesystem::path& file, const YAML::Node& map, const std::string& where,
               std::initializer_list<std::string_view> known) {
  std::vector<std::string> seen;
  for (const auto& entry : map) {
    if (!entry.first.IsScalar()) fail(file, "a key of " + where + " is not a name");
    const std::string key = shown(entry.first.Scalar());
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      std::string list;
      for (const auto name : known) list += (list.empty() ? "" : ", ") + std::string(name);
      fail(file, "unknown key " + where + key + " (known: " + list + ")");
    }
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) fail(file, "key " + where + key + " given twice");
    seen.push_back(key);
  }
}

bool isBcryptHash(std::string_view hash) {
  if (hash.size() != 60 || hash.substr(0, 2) != "$2" || hash[3] != '$' || hash[6] != '$') return false;
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return false;
  const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
  if (cost < 4 || cost > 31) return false;
  return std::all_of(hash.begin() + 7, hash.end(), [](char c) {
    return c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

TlsMaterial readTls(const std::filesystem::path& file, const YAML::Node& node) {
  if (!node.IsMap()) fail(file, "tls_server_config must be a mapping");
  checkKeys(file, node, "tls_server_config.", {"cert_file", "key_file", "client_ca_file", "client_auth_type"});
  // No silent fallback to plain HTTP: a TLS section without its files is an error.
  if (!node["cert_file"] || !node["key_file"]) fail(file, "tls_server_config needs cert_file and key_file");
  TlsMaterial tls;
  tls.certificatePem = readPem(file, "cert_file", node["cert_file"], "-----BEGIN CERTIFICATE-----", "a certificate");
  tls.keyPem = readPem(file, "key_file", node["key_file"], "PRIVATE KEY-----", "a private key");
  if (const auto type = node["client_auth_type"]) {
    static constexpr std::array<std::string_view, 5> kTypes = {"NoClientCert", "RequestClientCert", "RequireAnyClientCert",
                                                              "VerifyClientCertIfGiven", "RequireAndVerifyClientCert"};
    if (!type.IsScalar() || std::find(kTypes.begin(), kTypes.end(), type.Scalar()) == kTypes.end()) {
      fail(file, "client_auth_type must be one of NoClientCert, RequestClientCert, RequireAnyClientCert, "
                 "VerifyClientCertIfGiven, RequireAndVerifyClientCert");
    }
    tls.clientAuthType = type.Scalar();
  }
  if (const auto ca = node["client_ca_file"]) {
    // As the official exporters: a CA with no policy that uses it is a mistake.
    if (tls.clientAuthType == "NoClientCert") fail(file, "client_ca_file is given but client_auth_type is NoClientCert");
    tls.clientCaPem = readPem(file, "client_ca_file", ca, "-----BEGIN CERTIFICATE-----", "a certificate");
  } else if (tls.clientAuthType.find("Verify") != std::string::npos) {
    fail(file, "client_auth_type " + tls.clientAuthType + " needs client_ca_file");
  }
  return tls;
}

void readUsers(const std::filesystem::path& file, const YAML::Node& node, WebConfig& config) {
  if (node.IsNull()) return;
  if (!node.IsMap()) fail(file, "basic_auth_users must be a mapping of user names to bcrypt hashes");
  for (const auto& entry : node) {
    if (!entry.first.IsScalar() || entry.first.Scalar().empty()) fail(file, "a user name of basic_auth_users is empty");
    const std::string& user = entry.first.Scalar();
    const std::string name = shown(user);
    // A client sends "user:password": a colon cannot be in a name.
    if (user.find(':') != std::string::npos) fail(file, "user name " + name + " holds a colon");
    if (!entry.second.IsScalar() || !isBcryptHash(entry.second.Scalar())) {
      fail(file, "the password hash of user " + name + " is not bcrypt ($2a$, $2b$ or $2y$, cost 04-31, 60 characters)");
    }
    if (!config.basicAuthUsers.emplace(user, entry.second.Scalar()).second) fail(file, "user " + name + " given twice");
  }
}

bool equalInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
  }
  return difference == 0;
}

}  // namespace

WebConfig loadWebConfig(const std::filesystem::path& file) {
  const std::string text = readBounded(file);
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& error) {
    fail(file, std::string("not valid YAML: ") + error.what());
  }
  WebConfig config;
  if (root.IsNull()) return config;  // an empty file: plain HTTP, no passwords
  if (!root.IsMap()) fail(file, "not a mapping of tls_server_config and basic_auth_users");
  try {
    checkKeys(file, root, "", {"tls_server_config", "basic_auth_users"});
    if (const auto tls = root["tls_server_config"]) config.tls = readTls(file, tls);
    if (const auto users = root["basic_auth_users"]) readUsers(file, users, config);
  } catch (const YAML::Exception& error) {
    fail(file, std::string("unexpected YAML: ") + error.what());
  }
  return config;
}

bool checkBasicAuth(const WebConfig& config, std::string_view user, std::string_view password) {
  if (config.basicAuthUsers.empty()) return false;
  const auto found = config.basicAuthUsers.find(user);
  // An unknown user costs a bcrypt of the configuration's highest cost, so
  // the time taken does not tell which names exist. The dummy's salt is
  // canonical (libxcrypt hashes it) and no password hashes to its text.
  std::string dummy = "$2b$04$" + std::string(53, '.');
  for (const auto& [name, hash] : config.basicAuthUsers) dummy.replace(4, 2, std::max(dummy.substr(4, 2), hash.substr(4, 2)));
  const std::string& hash = found != config.basicAuthUsers.end() ? found->second : dummy;
  // crypt_r reads a C string: a NUL would cut the password short.
  const bool usable = password.find('\0') == std::string_view::npos;
  const std::string phrase(usable ? password : std::string_view("-"));
  // Large (tens of KiB), so on the heap; zeroed, as libxcrypt asks.
  const auto data = std::make_unique<crypt_data>();
  const char* result = ::crypt_r(phrase.c_str(), hash.c_str(), data.get());
  const bool matches = result != nullptr && result[0] != '*' && equalInConstantTime(result, hash);
  return matches && usable && found != config.basicAuthUsers.end();
}

}  // namespace velmora::cli::serve
