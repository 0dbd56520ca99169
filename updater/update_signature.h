#pragma once
// Ed25519 detached signatures of update archives (libsodium). Nothing is unpacked that does not carry
// a signature made with the key whose public half is compiled into the programs.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw {

using UpdatePublicKey = std::array<std::uint8_t, 32>;
using UpdateSecretKey = std::array<std::uint8_t, 64>; // libsodium's form: seed followed by public key
inline constexpr std::size_t kUpdateSignatureSize = 64;
// Archives larger than this are neither signed nor verified.
inline constexpr long long kMaxUpdateArchiveSize = 2LL * 1024 * 1024 * 1024;

// The key this build trusts (the BW_UPDATE_PUBLIC_KEY build setting); nothing when the build has none,
// and then no update can be installed.
std::optional<UpdatePublicKey> builtInUpdatePublicKey();

// 64 hexadecimal digits → a public key; 128 → a secret key (surrounding blanks ignored).
std::optional<UpdatePublicKey> publicKeyFromHex(const std::string& hex);
std::optional<UpdateSecretKey> secretKeyFromHex(const std::string& hex);
std::string keyToHex(const std::uint8_t* key, std::size_t size);

// A fresh key pair.
std::pair<UpdatePublicKey, UpdateSecretKey> generateUpdateKeyPair();
UpdatePublicKey publicKeyOf(const UpdateSecretKey& secret);

// The detached signature of the whole content of the open file `fd` (read from its start).
std::optional<std::vector<std::uint8_t>> signFileContent(int fd, const UpdateSecretKey& secret);
// Whether `signature` is the signature of the whole content of `fd` under `key`.
bool verifyFileSignature(int fd, const std::vector<std::uint8_t>& signature, const UpdatePublicKey& key);

} // namespace bw
