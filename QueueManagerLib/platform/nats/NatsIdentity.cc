// Who a NATS connection is and how it proves it: server URLs (checked, their
// credentials taken out), authentication, TLS, the client token, and the
// settings from the environment and the command line.

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "QueueManager/Platform/Exceptions.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier::nats {
namespace {

// A URL taken apart; the views point into the URL.
struct UrlParts {
  std::string_view scheme;
  std::string_view hostPort;
  std::string_view userInfo;
  bool hasUserInfo = false;
};

bool IsHostChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool IsAddressChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
         c == '.';
}

bool IsValidPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  unsigned port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  return port >= 1 && port <= 65535;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Why `url` is no server URL (empty: it is one), with its parts.
std::string Parse(std::string_view url, UrlParts& parts) {
  if (url.empty()) return "an empty server URL";
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return "a blank or control character in the server URL";
  }
  const std::size_t separator = url.find("://");
  if (separator == std::string_view::npos) return "no scheme (nats:// or tls://)";
  parts.scheme = url.substr(0, separator);
  if (!SameLetters(parts.scheme, "nats") && !SameLetters(parts.scheme, "tls"))
    return "the scheme is not nats:// or tls://";
  std::string_view rest = url.substr(separator + 3);
  // The last '@': a password may hold one (escaped or not).
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) {
    parts.hasUserInfo = true;
    parts.userInfo = rest.substr(0, at);
    rest.remove_prefix(at + 1);
  }
  parts.hostPort = rest;
  std::string_view port;
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return "an unclosed or empty [address]";
    for (char c : rest.substr(1, close - 1)) {
      if (!IsAddressChar(c)) return "an invalid character in the [address]";
    }
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return "something after the [address]";
    if (!rest.empty()) port = rest.substr(1);
    if (rest == ":") return "an empty port";
  } else {
    const std::size_t colon = rest.find(':');
    const std::string_view host = rest.substr(0, colon);
    if (host.empty()) return "no host";
    for (char c : host) {
      if (!IsHostChar(c)) return "an invalid character in the host (no path, query or fragment)";
    }
    if (colon != std::string_view::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) return "an empty port";
    }
  }
  if (!port.empty() && !IsValidPort(port)) return "the port is not a number in 1..65535";
  return {};
}

std::string Decoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// libnats's own reason for the last failure on this thread (a TLS
// verification, an unreadable file), when it says more than the status.
std::string Detail(natsStatus status, std::string_view text) {
  // Without the "(file.c:123): " it starts with.
  if (const std::size_t end = text.find("): "); text.starts_with('(') && end != text.npos)
    text.remove_prefix(end + 3);
  if (text.empty() || text == natsStatus_GetText(status)) return {};
  return " (" + std::string(text) + ")";
}

void CheckDetailed(natsStatus status, const std::string& what) {
  if (status == NATS_OK) return;
  const char* last = nats_GetLastError(nullptr);
  throw CNotifierException("NATS: " + what + ": " + natsStatus_GetText(status) +
                           Detail(status, last != nullptr ? last : ""));
}

// At most this much of a secret file is read: a password or token, not a
// file named by mistake.
constexpr std::size_t kMostSecretBytes = 4096;

bool ReadSecretFile(const std::string& path, std::string& secret) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string text(kMostSecretBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad() || file.gcount() > static_cast<std::streamsize>(kMostSecretBytes)) return false;
  text.resize(static_cast<std::size_t>(file.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  secret = std::move(text);
  return true;
}

// One identity setting: its command-line option and environment variable.
// A secret is given on the command line only as a file (the command line is
// visible to every user of the machine), in the environment either way
// (the variable, or its "_FILE" form).
struct Setting {
  const char* flag;
  const char* variable;
  std::string CNatsOptions::*field;
  bool secret;
  const char* argument;
  const char* help;
};

constexpr std::array kSettings{
    Setting{"--nats-client", "QM_NATS_CLIENT", &CNatsOptions::client, false, "TOKEN",
            "client token of the subjects (default: random)"},
    Setting{"--nats-inbox", "QM_NATS_INBOX", &CNatsOptions::inboxPrefix, false, "SUBJECT",
            "reply inbox prefix (default ROOT.i.CLIENT)"},
    Setting{"--nats-name", "QM_NATS_NAME", &CNatsOptions::name, false, "NAME", "connection name"},
    Setting{"--nats-user", "QM_NATS_USER", &CNatsOptions::user, false, "USER", "user name"},
    Setting{"--nats-password-file", "QM_NATS_PASSWORD", &CNatsOptions::password, true, "FILE",
            "file holding the password"},
    Setting{"--nats-token-file", "QM_NATS_TOKEN", &CNatsOptions::token, true, "FILE",
            "file holding the token"},
    Setting{"--nats-nkey", "QM_NATS_NKEY", &CNatsOptions::nkeyPublic, false, "KEY",
            "nkey public key"},
    Setting{"--nats-nkey-seed", "QM_NATS_NKEY_SEED", &CNatsOptions::nkeySeedFile, false, "FILE",
            "file holding the nkey seed"},
    Setting{"--nats-creds", "QM_NATS_CREDS", &CNatsOptions::credentialsFile, false, "FILE",
            "credentials file"},
    Setting{"--nats-ca", "QM_NATS_CA", &CNatsOptions::caFile, false, "FILE",
            "CA certificates of the servers (turns TLS on)"},
    Setting{"--nats-cert", "QM_NATS_CERT", &CNatsOptions::certFile, false, "FILE",
            "client certificate chain (turns TLS on)"},
    Setting{"--nats-key", "QM_NATS_KEY", &CNatsOptions::keyFile, false, "FILE",
            "client private key"},
    Setting{"--nats-tls-host", "QM_NATS_TLS_HOST", &CNatsOptions::tlsHost, false, "HOST",
            "host name the server certificate must name"},
};

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string RandomToken() {
  // A NUID: 22 characters of [0-9A-Za-z], unique without coordination.
  natsInbox* inbox = nullptr;
  Check(natsInbox_Create(&inbox), "inbox");
  std::string token(inbox);
  natsInbox_Destroy(inbox);
  return token.substr(token.rfind('.') + 1);
}

CNatsOptions ResolvedIdentity(CNatsOptions options) {
  if (!IsValidRoot(options.root)) throw CNotifierException("NATS: invalid root " + options.root);
  if (options.client.empty()) options.client = RandomToken();
  if (!IsValidClient(options.client))
    throw CNotifierException(
        "NATS: the client token is not one token of [A-Za-z0-9_-] of at "
        "most 64 characters");
  const std::string inbox = InboxPrefix(options.root, options.client);
  if (options.inboxPrefix.empty()) options.inboxPrefix = inbox;
  if (!IsValidRoot(options.inboxPrefix) ||
      !(options.inboxPrefix == inbox || options.inboxPrefix.starts_with(inbox + ".")))
    throw CNotifierException("NATS: the inbox prefix " + options.inboxPrefix + " is not under " +
                             inbox);
  return options;
}

void ApplyIdentityOptions(natsOptions* opts, const CNatsOptions& options) {
  if (options.urls.empty()) throw CNotifierException("NATS: no server URL");
  std::vector<std::string> servers;
  std::string user = options.user;
  std::string password = options.password;
  std::string token = options.token;
  std::optional<std::string> urlCredentials;
  bool secure = options.secure || !options.caFile.empty() || !options.certFile.empty();
  for (const std::string& url : options.urls) {
    UrlParts parts;
    const std::string error = Parse(url, parts);
    if (!error.empty()) throw CNotifierException("NATS: " + RedactNatsUrl(url) + ": " + error);
    secure = secure || SameLetters(parts.scheme, "tls");
    servers.push_back(std::string(parts.scheme) + "://" + std::string(parts.hostPort));
    const std::string credentials(parts.userInfo);
    if (urlCredentials && *urlCredentials != credentials)
      throw CNotifierException("NATS: the server URLs carry different credentials");
    urlCredentials = credentials;
  }
  // Credentials in a URL stand for the options left empty; libnats never
  // sees them, so that it cannot show them either.
  if (urlCredentials && !urlCredentials->empty() && user.empty() && token.empty()) {
    const std::size_t colon = urlCredentials->find(':');
    if (colon == std::string::npos) {
      token = Decoded(*urlCredentials);
    } else {
      user = Decoded(std::string_view(*urlCredentials).substr(0, colon));
      password = Decoded(std::string_view(*urlCredentials).substr(colon + 1));
    }
  }
  const bool nkey = !options.nkeyPublic.empty() || !options.nkeySeedFile.empty();
  const int ways =
      int{!user.empty()} + int{!token.empty()} + int{nkey} + int{!options.credentialsFile.empty()};
  if (ways > 1) throw CNotifierException("NATS: more than one way to authenticate is given");
  if (!password.empty() && user.empty())
    throw CNotifierException("NATS: a password without a user");
  if (nkey && (options.nkeyPublic.empty() || options.nkeySeedFile.empty()))
    throw CNotifierException("NATS: an nkey needs its public key and its seed file");
  if (options.certFile.empty() != options.keyFile.empty())
    throw CNotifierException("NATS: a client certificate needs its key, and a key its certificate");

  std::vector<const char*> list;
  for (const std::string& server : servers) list.push_back(server.c_str());
  Check(natsOptions_SetServers(opts, list.data(), static_cast<int>(list.size())), "servers");
  if (!user.empty()) Check(natsOptions_SetUserInfo(opts, user.c_str(), password.c_str()), "user");
  if (!token.empty()) Check(natsOptions_SetToken(opts, token.c_str()), "token");
  if (nkey)
    CheckDetailed(
        natsOptions_SetNKeyFromSeed(opts, options.nkeyPublic.c_str(), options.nkeySeedFile.c_str()),
        "nkey seed " + options.nkeySeedFile);
  if (!options.credentialsFile.empty())
    CheckDetailed(
        natsOptions_SetUserCredentialsFromFiles(opts, options.credentialsFile.c_str(), nullptr),
        "credentials " + options.credentialsFile);
  if (!options.name.empty()) Check(natsOptions_SetName(opts, options.name.c_str()), "name");
  if (!secure) return;
  CheckDetailed(natsOptions_SetSecure(opts, true), "TLS");
  if (!options.caFile.empty())
    CheckDetailed(natsOptions_LoadCATrustedCertificates(opts, options.caFile.c_str()),
                  "CA file " + options.caFile);
  if (!options.certFile.empty())
    CheckDetailed(
        natsOptions_LoadCertificatesChain(opts, options.certFile.c_str(), options.keyFile.c_str()),
        "client certificate " + options.certFile + " and key " + options.keyFile);
  if (!options.tlsHost.empty())
    CheckDetailed(natsOptions_SetExpectedHostname(opts, options.tlsHost.c_str()), "TLS host name");
}

void CheckConnect(natsStatus status, const CNatsOptions& options, std::string_view lastError) {
  if (status == NATS_OK) return;
  throw CNotifierException("NATS: cannot connect to " + RedactNatsUrls(options.urls) + ": " +
                           natsStatus_GetText(status) + Detail(status, lastError));
}

}  // namespace W4Notifier::nats

namespace W4Notifier {

std::vector<std::string> SplitNatsUrls(std::string_view text) {
  std::vector<std::string> urls;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    std::string_view url = text.substr(0, comma);
    while (!url.empty() && url.front() == ' ') url.remove_prefix(1);
    while (!url.empty() && url.back() == ' ') url.remove_suffix(1);
    if (!url.empty()) urls.emplace_back(url);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return urls;
}

std::string NatsUrlError(std::string_view url) {
  nats::UrlParts parts;
  return nats::Parse(url, parts);
}

std::string RedactNatsUrl(std::string_view url) {
  constexpr std::size_t kLongestShown = 256;
  nats::UrlParts parts;
  std::string shown;
  if (nats::Parse(url, parts).empty()) {
    shown = std::string(parts.scheme) + "://" + std::string(parts.hostPort);
  } else {
    // Not a URL, but it may still hold a secret before an '@'.
    const std::size_t separator = url.find("://");
    const std::size_t start = separator == std::string_view::npos ? 0 : separator + 3;
    const std::size_t at = url.rfind('@');
    shown = at != std::string_view::npos && at >= start
                ? std::string(url.substr(0, start)) + std::string(url.substr(at + 1))
                : std::string(url);
  }
  if (shown.size() > kLongestShown) shown.resize(kLongestShown);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

std::string RedactNatsUrls(const std::vector<std::string>& urls) {
  std::string shown;
  for (const std::string& url : urls) shown += (shown.empty() ? "" : ",") + RedactNatsUrl(url);
  return shown;
}

void ApplyNatsEnvironment(CNatsOptions& options) {
  for (const nats::Setting& setting : nats::kSettings) {
    if (const char* value = nats::Variable(setting.variable)) options.*setting.field = value;
    if (!setting.secret) continue;
    const std::string fileVariable = std::string(setting.variable) + "_FILE";
    if (const char* path = nats::Variable(fileVariable.c_str())) {
      if (!nats::ReadSecretFile(path, options.*setting.field))
        throw CNotifierException("NATS: cannot read the file " + fileVariable + " names");
    }
  }
  if (const char* tls = nats::Variable("QM_NATS_TLS"))
    options.secure = std::string_view(tls) != "0";
}

bool ApplyNatsFlag(CNatsOptions& options, std::string_view flag, std::string_view value,
                   std::string& error) {
  for (const nats::Setting& setting : nats::kSettings) {
    if (flag != setting.flag) continue;
    if (setting.secret) {
      if (!nats::ReadSecretFile(std::string(value), options.*setting.field))
        error = std::string(flag) + ": cannot read " + std::string(value);
    } else {
      options.*setting.field = value;
    }
    return true;
  }
  return false;
}

std::string NatsOptionsHelp() {
  std::string help =
      "NATS identity (each option also from its environment variable; a secret from\n"
      "VARIABLE or the file VARIABLE_FILE names):\n";
  for (const nats::Setting& setting : nats::kSettings) {
    std::string line = "  " + std::string(setting.flag) + " " + setting.argument;
    line.resize(std::max<std::size_t>(line.size() + 1, 30), ' ');
    help += line + setting.help + " [" + setting.variable + "]\n";
  }
  help += "  tls://HOST:PORT or QM_NATS_TLS=1 turns TLS on as well\n";
  return help;
}

std::vector<CNatsFlag> NatsFlags() {
  std::vector<CNatsFlag> flags;
  for (const nats::Setting& setting : nats::kSettings)
    flags.push_back(
        {setting.flag, setting.variable, setting.argument, setting.help, setting.secret});
  return flags;
}

bool NatsOptionsFromEnvironment(CNatsOptions& options) {
  const char* urls = std::getenv(kNatsUrlVariable);
  if (urls == nullptr || *urls == '\0') return false;
  options.urls = SplitNatsUrls(urls);
  if (options.urls.empty()) return false;
  if (const char* root = std::getenv(kNatsRootVariable); root != nullptr && *root != '\0') {
    options.root = root;
  }
  ApplyNatsEnvironment(options);
  return true;
}

}  // namespace W4Notifier
