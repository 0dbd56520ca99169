#include "update_signature.h"

#include "files/log_line.h"

#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cctype>

namespace bw {

namespace {

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

template <std::size_t N> std::optional<std::array<std::uint8_t, N>> fromHex(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    if (end - begin != 2 * N)
        return std::nullopt;
    std::array<std::uint8_t, N> bytes{};
    for (size_t i = 0; i < N; ++i) {
        int value = 0;
        for (int k = 0; k < 2; ++k) {
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[begin + 2 * i + k])));
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
        }
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

// The file's whole content mapped read-only; unmapped when it goes.
class MappedFile {
public:
    explicit MappedFile(int fd) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxUpdateArchiveSize)
            return;
        m_size = static_cast<size_t>(st.st_size);
        m_valid = true;
        if (m_size == 0)
            return;
        void* data = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) {
            m_valid = false;
            return;
        }
        m_data = data;
    }
    ~MappedFile() {
        if (m_data)
            munmap(m_data, m_size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool valid() const { return m_valid; }
    const unsigned char* data() const {
        static const unsigned char kEmpty = 0;
        return m_data ? static_cast<const unsigned char*>(m_data) : &kEmpty;
    }
    size_t size() const { return m_size; }

private:
    void* m_data = nullptr;
    size_t m_size = 0;
    bool m_valid = false;
};

} // namespace

std::optional<UpdatePublicKey> builtInUpdatePublicKey() {
#ifdef BW_UPDATE_PUBLIC_KEY
    return publicKeyFromHex(BW_UPDATE_PUBLIC_KEY);
#else
    return std::nullopt;
#endif
}

std::optional<UpdatePublicKey> publicKeyFromHex(const std::string& hex) {
    return fromHex<32>(hex);
}
std::optional<UpdateSecretKey> secretKeyFromHex(const std::string& hex) {
    return fromHex<64>(hex);
}

std::string keyToHex(const std::uint8_t* key, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[key[i] >> 4];
        hex += kDigits[key[i] & 0xf];
    }
    return hex;
}

std::pair<UpdatePublicKey, UpdateSecretKey> generateUpdateKeyPair() {
    UpdatePublicKey publicKey{};
    UpdateSecretKey secretKey{};
    if (sodiumReady())
        crypto_sign_keypair(publicKey.data(), secretKey.data());
    return {publicKey, secretKey};
}

UpdatePublicKey publicKeyOf(const UpdateSecretKey& secret) {
    UpdatePublicKey publicKey{};
    if (sodiumReady())
        crypto_sign_ed25519_sk_to_pk(publicKey.data(), secret.data());
    return publicKey;
}

std::optional<std::vector<std::uint8_t>> signFileContent(int fd, const UpdateSecretKey& secret) {
    if (!sodiumReady())
        return std::nullopt;
    MappedFile file(fd);
    if (!file.valid())
        return std::nullopt;
    std::vector<std::uint8_t> signature(crypto_sign_BYTES);
    if (crypto_sign_detached(signature.data(), nullptr, file.data(), file.size(), secret.data()) != 0)
        return std::nullopt;
    return signature;
}

bool verifyFileSignature(int fd, const std::vector<std::uint8_t>& signature, const UpdatePublicKey& key) {
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES)
        return false;
    MappedFile file(fd);
    if (!file.valid()) {
        bw::logLine(LOG_WARNING, "update archive cannot be read for its signature check");
        return false;
    }
    return crypto_sign_verify_detached(signature.data(), file.data(), file.size(), key.data()) == 0;
}

} // namespace bw
