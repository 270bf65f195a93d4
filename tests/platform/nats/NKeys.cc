#include "platform/nats/NKeys.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace W4Notifier::testing {
namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PKey PrivateKey(const std::string& raw) {
  PKey key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                   reinterpret_cast<const unsigned char*>(raw.data()), raw.size()),
      &EVP_PKEY_free);
  if (!key) throw std::runtime_error("no Ed25519 key");
  return key;
}

// CRC-16/XMODEM, which guards every nkey against typing errors.
std::uint16_t Crc16(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (const char c : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<unsigned char>(c) << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::string Encode(std::string_view bytes, const char* alphabet, int bitsPerChar) {
  std::string text;
  unsigned buffer = 0;
  int bits = 0;
  const unsigned mask = (1u << bitsPerChar) - 1;
  for (const char c : bytes) {
    buffer = (buffer << 8) | static_cast<unsigned char>(c);
    for (bits += 8; bits >= bitsPerChar; bits -= bitsPerChar)
      text += alphabet[(buffer >> (bits - bitsPerChar)) & mask];
  }
  if (bits > 0) text += alphabet[(buffer << (bitsPerChar - bits)) & mask];
  return text;
}

std::string Base32(std::string_view bytes) {
  return Encode(bytes, "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", 5);
}

std::string Base64Url(std::string_view bytes) {
  return Encode(bytes, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 6);
}

// Prefix bytes, then the key, then the CRC (least significant byte first).
std::string WithCrc(std::string bytes) {
  const std::uint16_t crc = Crc16(bytes);
  bytes += static_cast<char>(crc & 0xFF);
  bytes += static_cast<char>(crc >> 8);
  return Base32(bytes);
}

}  // namespace

NKey::NKey(char role) : raw_(32, '\0') {
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw_.data()), 32) != 1)
    throw std::runtime_error("no random bytes");
  std::string key(32, '\0');
  std::size_t length = key.size();
  if (EVP_PKEY_get_raw_public_key(PrivateKey(raw_).get(),
                                  reinterpret_cast<unsigned char*>(key.data()), &length) != 1)
    throw std::runtime_error("no Ed25519 public key");
  // The role's letter is the first base32 character: its 5 bits lead the
  // first byte. A seed leads with 'S' and packs the role's bits after it.
  const auto prefix = static_cast<unsigned>((role - 'A') << 3);
  constexpr unsigned kSeed = ('S' - 'A') << 3;
  public_ = WithCrc(std::string(1, static_cast<char>(prefix)) + key);
  seed_ = WithCrc(
      std::string{static_cast<char>(kSeed | (prefix >> 5)), static_cast<char>((prefix & 31) << 3)} +
      raw_);
}

std::string NKey::Sign(std::string_view data) const {
  const PKey key = PrivateKey(raw_);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  std::string signature(64, '\0');
  std::size_t length = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
    throw std::runtime_error("Ed25519 signing failed");
  return signature;
}

std::string MintJwt(const NKey& issuer, const std::string& subject, const std::string& nats) {
  static int serial = 0;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::string claims = R"({"jti":")" + Base32(subject + std::to_string(++serial)) +
                             R"(","iat":)" + std::to_string(now) + R"(,"iss":")" + issuer.Public() +
                             R"(","name":"test","sub":")" + subject + R"(","nats":{)" + nats +
                             R"(,"version":2}})";
  const std::string signedPart =
      Base64Url(R"({"typ":"JWT","alg":"ed25519-nkey"})") + "." + Base64Url(claims);
  return signedPart + "." + Base64Url(issuer.Sign(signedPart));
}

std::string CredentialsText(const std::string& jwt, const NKey& user) {
  return "-----BEGIN NATS USER JWT-----\n" + jwt + "\n------END NATS USER JWT------\n\n" +
         "-----BEGIN USER NKEY SEED-----\n" + user.Seed() + "\n------END USER NKEY SEED------\n";
}

}  // namespace W4Notifier::testing
