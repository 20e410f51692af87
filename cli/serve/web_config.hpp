// The exporter's web configuration file (`serve --web-config FILE`), in the
// format the official Prometheus exporters read: YAML with
// `tls_server_config` (`cert_file`, `key_file`, optionally `client_ca_file`
// and `client_auth_type`) and `basic_auth_users` (user: bcrypt hash).
// Relative file names are read relative to the configuration file's folder.
//
// Choices: strict, as the official exporters are. A key this exporter does
// not apply (min_version, cipher_suites, http_server_config, ...) is refused
// with its name rather than ignored, since an operator relying on it would
// be misled; so is a key given twice. An empty file means plain HTTP and no
// passwords; a tls_server_config without cert_file and key_file is an error,
// never a fallback to plain HTTP. client_ca_file needs a client_auth_type
// other than NoClientCert, and the Verify* types need client_ca_file. The
// configuration, certificate, key and CA files are each read whole, at most
// 1 MiB, regular files only, and must hold a PEM block and no NUL byte.
// A user name cannot hold a colon (a client could not send it).
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
// matches its bcrypt hash (libxcrypt's crypt_r); false when the
// configuration has no users. An unknown user costs a bcrypt of the
// configuration's highest cost, so the time taken does not tell which names
// exist; the result is compared in constant time; a password holding a NUL
// byte never matches. Nothing is cached: each call is one bcrypt, as long as
// the hash's cost makes it. Thread-safe.
bool checkBasicAuth(const WebConfig& config, std::string_view user, std::string_view password);

}  // namespace velmora::cli::serve
