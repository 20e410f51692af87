// The exporter's web configuration file (`serve --web-config FILE`), in the
// format the official Prometheus exporters read: YAML with
// `tls_server_config` (`cert_file`, `key_file`, optionally `client_ca_file`
// and `client_auth_type`) and `basic_auth_users` (user: bcrypt hash).
// Relative file names are read relative to the configuration file's folder.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::cli::serve {

// The configuration cannot be used: unreadable, not the expected YAML, a
// missing or unreadable certificate or key, a hash that is not bcrypt. The
// text says which file and why.
class WebConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TlsMaterial {
  std::string certificatePem;                // cert_file's contents
  std::string keyPem;                        // key_file's contents
  std::optional<std::string> clientCaPem;    // client_ca_file's contents
  // client_auth_type: "NoClientCert" (the default), "RequestClientCert",
  // "RequireAnyClientCert", "VerifyClientCertIfGiven" or
  // "RequireAndVerifyClientCert".
  std::string clientAuthType = "NoClientCert";
};

struct WebConfig {
  std::optional<TlsMaterial> tls;
  std::map<std::string, std::string, std::less<>> basicAuthUsers;  // user -> bcrypt hash
};

// Reads and checks the file. Throws WebConfigError.
WebConfig loadWebConfig(const std::filesystem::path& file);

// True when `user` is one of the configuration's users and `password`
// matches its bcrypt hash. Takes as long for an unknown user as for a known
// one, and compares in constant time. Thread-safe.
bool checkBasicAuth(const WebConfig& config, std::string_view user, std::string_view password);

}  // namespace velmora::cli::serve
