#pragma once

// Ed25519 key pairs in the nkeys text form and the JWTs of NATS's
// decentralised authentication, made with OpenSSL for tests (no key tools
// are installed where they run).

#include <string>
#include <string_view>

namespace W4Notifier::testing {

// A random key pair; immutable once made, so safe to share.
class NKey {
 public:
  // `role`: 'U' (user), 'A' (account) or 'O' (operator).
  explicit NKey(char role);
  const std::string& Public() const { return public_; }
  // The seed, as libnats and nats-server read it ("SU...").
  const std::string& Seed() const { return seed_; }
  // The Ed25519 signature of `data`, raw bytes.
  std::string Sign(std::string_view data) const;

 private:
  std::string raw_;  // the 32-byte private key
  std::string public_;
  std::string seed_;
};

// A JWT of `subject` signed by `issuer`, its "nats" claim being the JSON
// object `nats` (without the braces).
std::string MintJwt(const NKey& issuer, const std::string& subject, const std::string& nats);

// A credentials file's text: the user's JWT, then its seed.
std::string CredentialsText(const std::string& jwt, const NKey& user);

}  // namespace W4Notifier::testing
