#include "serve/http_server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>

namespace velmora::cli::serve {

namespace {

constexpr std::size_t kMostRequestBytes = 4096;  // request line and headers
constexpr unsigned kConnections = 2048;
constexpr unsigned kConnectionsPerAddress = 1024;
constexpr unsigned kDescriptorsBesides = 128;  // the tools' pipes, the log, files being read
constexpr unsigned kIdleSeconds = 5;
constexpr unsigned kThreads = 4;
constexpr std::size_t kRememberedPasswords = 64;

constexpr std::string_view kPage =
    "<html><head><title>velmora-fsutil exporter</title></head><body><h1>velmora-fsutil exporter</h1>"
    "<p>Filespace and drive metrics: <a href=\"/metrics\">/metrics</a></p></body></html>\n";

MHD_Response* fixed(std::string_view body, const char* type, std::initializer_list<std::pair<const char*, const char*>> headers = {}) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) throw std::bad_alloc();
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  for (const auto& [name, value] : headers) MHD_add_response_header(response, name, value);
  return response;
}

constexpr const char* kText = "text/plain; charset=utf-8";

sockaddr_storage socketAddress(const std::string& listen, bool& ipv6) {
  const auto colon = listen.rfind(':');
  std::string host = listen.substr(0, colon);
  const int port = std::stoi(listen.substr(colon + 1));
  sockaddr_storage address{};
  ipv6 = host.size() > 1 && host.front() == '[';
  if (ipv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6.sin6_addr) != 1) {
      throw ListenError("Cannot listen on " + listen + ": not an IPv6 address");
    }
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &in4.sin_addr) != 1) throw ListenError("Cannot listen on " + listen + ": not an IPv4 address");
  }
  return address;
}

// The request target as a path: the absolute form's authority dropped.
std::string_view pathOf(std::string_view target) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (target.size() >= scheme.size() &&
        std::equal(scheme.begin(), scheme.end(), target.begin(), [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
      const auto slash = target.find('/', scheme.size());
      return slash == std::string_view::npos ? "/" : target.substr(slash);
    }
  }
  return target;
}

MHD_Result addSize(void* total, MHD_ValueKind, const char* key, const char* value) {
  *static_cast<std::size_t*>(total) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
  return MHD_YES;
}

// "user:password" of a basic Authorization header, decoded here whole:
// libmicrohttpd's own decoding ends the password at a NUL byte, so that
// "secret\0anything" would pass for "secret". Empty without one.
std::string credentials(MHD_Connection* connection) {
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  if (header == nullptr || strncasecmp(header, "Basic ", 6) != 0) return {};
  std::string_view encoded = header + 6;
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  const gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(encoded.data())), static_cast<unsigned>(encoded.size())};
  gnutls_datum_t out{};
  if (encoded.empty() || gnutls_base64_decode2(&in, &out) < 0) return {};
  std::string decoded(reinterpret_cast<const char*>(out.data), out.size);
  gnutls_memset(out.data, 0, out.size);
  gnutls_free(out.data);
  return decoded;
}

// Throws WebConfigError when GnuTLS cannot use the material: its own words
// on the server's start are only "Failed to initialize TLS support".
void checkTlsMaterial(const TlsMaterial& tls) {
  gnutls_certificate_credentials_t credentials = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) throw std::bad_alloc();
  const auto datum = [](const std::string& text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
  };
  const gnutls_datum_t certificate = datum(tls.certificatePem), key = datum(tls.keyPem);
  int result = gnutls_certificate_set_x509_key_mem(credentials, &certificate, &key, GNUTLS_X509_FMT_PEM);
  std::string what = "the certificate and key cannot be used together";
  if (result >= 0 && tls.clientCaPem) {
    const gnutls_datum_t authorities = datum(*tls.clientCaPem);
    result = gnutls_certificate_set_x509_trust_mem(credentials, &authorities, GNUTLS_X509_FMT_PEM);
    if (result == 0) result = GNUTLS_E_NO_CERTIFICATE_FOUND;
    what = "the client CA file cannot be used";
  }
  gnutls_certificate_free_credentials(credentials);
  if (result < 0) throw WebConfigError(what + ": " + gnutls_strerror(result));
}

}  // namespace

long raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

struct HttpServer::State {
  Body metrics;
  std::function<bool(std::string_view, std::string_view)> checkPassword;
  std::string clientAuth = "NoClientCert";
  std::optional<TlsMaterial> tls;
  std::string trust;  // what client certificates are checked against
  MHD_Daemon* daemon = nullptr;
  MHD_Response* page = fixed(kPage, "text/html; charset=utf-8");
  MHD_Response* notFound = fixed("Not found: this exporter serves /metrics\n", kText);
  MHD_Response* notAllowed = fixed("Method not allowed\n", kText, {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
  MHD_Response* badTarget = fixed("Bad request target\n", kText);
  MHD_Response* tooLarge = fixed("Request line and headers exceed 4 KiB\n", kText);
  MHD_Response* unauthorized =
      fixed("Unauthorized\n", kText, {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"velmora\""}});
  MHD_Response* forbidden = fixed("A valid client certificate is required\n", kText);
  MHD_Response* busy = fixed("Another password is being checked: retry\n", kText, {{MHD_HTTP_HEADER_RETRY_AFTER, "1"}});
  std::mutex checking;  // one bcrypt check at a time
  std::mutex rememberedMutex;
  std::set<std::array<unsigned char, 32>> remembered;  // digests of accepted user and password pairs
  std::mutex logMutex;
  std::string startLog;  // why the server did not start
  std::atomic<bool> starting{true};

  ~State() {
    if (daemon) MHD_stop_daemon(daemon);
    for (MHD_Response* response : {page, notFound, notAllowed, badTarget, tooLarge, unauthorized, forbidden, busy}) {
      MHD_destroy_response(response);
    }
  }

  bool clientCertificateAccepted(MHD_Connection* connection) const {
    const bool require = clientAuth == "RequireAnyClientCert" || clientAuth == "RequireAndVerifyClientCert";
    const bool verify = clientAuth == "VerifyClientCertIfGiven" || clientAuth == "RequireAndVerifyClientCert";
    if (!require && !verify) return true;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr) return false;
    auto* session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned count = 0;
    const bool given = gnutls_certificate_get_peers(session, &count) != nullptr && count > 0;
    if (!given) return !require;
    unsigned status = 0;
    return !verify || (gnutls_certificate_verify_peers2(session, &status) == 0 && status == 0);
  }

  // Empty when the request may go on, else the answer it was given.
  std::optional<MHD_Result> refusedCredentials(MHD_Connection* connection) {
    const std::string pair = credentials(connection);
    const auto split = pair.find(':');
    if (split == std::string::npos) return MHD_queue_response(connection, MHD_HTTP_UNAUTHORIZED, unauthorized);
    std::array<unsigned char, 32> digest{};
    gnutls_hash_fast(GNUTLS_DIG_SHA256, pair.data(), pair.size(), digest.data());
    {
      std::lock_guard lock(rememberedMutex);
      if (remembered.count(digest)) return std::nullopt;
    }
    std::unique_lock check(checking, std::try_to_lock);
    if (!check.owns_lock()) return MHD_queue_response(connection, MHD_HTTP_SERVICE_UNAVAILABLE, busy);
    if (!checkPassword(std::string_view(pair).substr(0, split), std::string_view(pair).substr(split + 1))) {
      return MHD_queue_response(connection, MHD_HTTP_UNAUTHORIZED, unauthorized);
    }
    std::lock_guard lock(rememberedMutex);
    if (remembered.size() >= kRememberedPasswords) remembered.clear();
    remembered.insert(digest);
    return std::nullopt;
  }

  MHD_Result answer(MHD_Connection* connection, std::string_view target, std::string_view method, const char* version) {
    std::size_t size = target.size() + method.size() + std::strlen(version) + 4;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, addSize, &size);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, addSize, &size);
    if (size > kMostRequestBytes) return MHD_queue_response(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, tooLarge);
    if (tls && !clientCertificateAccepted(connection)) return MHD_queue_response(connection, MHD_HTTP_FORBIDDEN, forbidden);
    if (checkPassword) {
      if (auto refused = refusedCredentials(connection)) return *refused;
    }
    if (target == "*") return MHD_queue_response(connection, MHD_HTTP_BAD_REQUEST, badTarget);
    const std::string_view path = pathOf(target);
    if (path != "/" && path != "/metrics") return MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, notFound);
    if (method != "GET" && method != "HEAD") return MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED, notAllowed);
    if (path == "/") return MHD_queue_response(connection, MHD_HTTP_OK, page);
    // The response keeps the body it sends alive until it is done with it.
    auto* kept = new std::shared_ptr<const std::string>(metrics());
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        (*kept)->size(), const_cast<char*>((*kept)->data()),
        [](void* text) { delete static_cast<std::shared_ptr<const std::string>*>(text); }, kept);
    if (response == nullptr) {
      delete kept;
      return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; version=0.0.4; charset=utf-8");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
  }
};

HttpServer::HttpServer(const HttpSettings& settings, Body metrics) : state_(std::make_unique<State>()) {
  State& state = *state_;
  state.metrics = std::move(metrics);
  state.checkPassword = settings.checkPassword;
  state.tls = settings.tls;
  bool ipv6 = false;
  sockaddr_storage address = socketAddress(settings.listen, ipv6);

  // Every connection is a descriptor: admit no more than the process may open.
  const long descriptors = raiseDescriptorLimit();
  unsigned connections = kConnections;
  if (descriptors >= 0) connections = static_cast<unsigned>(std::clamp<long>(descriptors - kDescriptorsBesides, 16, kConnections));

  std::vector<MHD_OptionItem> options = {
      // First, so that every message of the start comes here.
      {MHD_OPTION_EXTERNAL_LOGGER,
       reinterpret_cast<intptr_t>(+[](void* cls, const char* format, va_list arguments) {
         auto* self = static_cast<State*>(cls);
         if (!self->starting) return;  // a client's failures are its own
         char text[512];
         std::vsnprintf(text, sizeof text, format, arguments);
         std::lock_guard lock(self->logMutex);
         self->startLog = text;  // the last says why
       }),
       &state},
      {MHD_OPTION_SOCK_ADDR, 0, &address},
      {MHD_OPTION_THREAD_POOL_SIZE, kThreads, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, connections, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, std::min(kConnectionsPerAddress, connections), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
      // Room for the 4 KiB of request and the answer's headers; larger requests are refused.
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 16384, nullptr},
  };
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | (ipv6 ? MHD_USE_IPv6 : 0);
  if (state.tls) {
    checkTlsMaterial(*state.tls);
    flags |= MHD_USE_TLS;
    state.clientAuth = state.tls->clientAuthType;
    const bool verify = state.clientAuth == "VerifyClientCertIfGiven" || state.clientAuth == "RequireAndVerifyClientCert";
    if (verify && !state.tls->clientCaPem) throw WebConfigError("client_auth_type " + state.clientAuth + " needs client_ca_file");
    // Client certificates are asked for only when a trust list is given; one
    // that need not verify may be signed by anyone.
    if (state.tls->clientCaPem) {
      state.trust = *state.tls->clientCaPem;
    } else if (state.clientAuth != "NoClientCert") {
      state.trust = state.tls->certificatePem;
    }
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(state.tls->certificatePem.c_str())});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(state.tls->keyPem.c_str())});
    if (!state.trust.empty()) options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(state.trust.c_str())});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});

  // Called once the headers are in, then with the body, then once more.
  // Answered on the second call when there is no body, since an answer
  // before that closes the connection; a request with a body is answered at
  // once (and its connection closed), so a body is never read.
  const auto handler = [](void* cls, MHD_Connection* connection, const char* url, const char* method, const char* version,
                          const char*, size_t* uploadSize, void** request) -> MHD_Result {
    static int started;
    if (*request == nullptr && MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH) == nullptr &&
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) == nullptr) {
      *request = &started;
      return MHD_YES;
    }
    *uploadSize = 0;
    return static_cast<State*>(cls)->answer(connection, url ? url : "", method ? method : "", version ? version : "");
  };
  state.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, handler, &state, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
  state.starting = false;
  if (state.daemon == nullptr) {
    std::lock_guard lock(state.logMutex);
    std::string why = state.startLog;
    while (!why.empty() && (why.back() == '\n' || why.back() == '.')) why.pop_back();
    // It binds an address given whole, so its port in the text is always 0.
    constexpr std::string_view kBind = "Failed to bind to port 0: ";
    if (why.rfind(kBind, 0) == 0) why = "cannot bind: " + why.substr(kBind.size());
    throw ListenError("Cannot listen on " + settings.listen + ": " +
                      (why.empty() ? "the port is in use, or the address is not one of this machine's, or not permitted"
                                   : why));
  }
}

HttpServer::~HttpServer() = default;

int HttpServer::port() const {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(state_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  return info ? info->port : 0;
}

}  // namespace velmora::cli::serve
