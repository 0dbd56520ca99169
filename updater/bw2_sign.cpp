// bw2-sign: makes the signing key of releases and signs update archives with it (not installed).
//
//   bw2-sign keygen FILE        writes a new secret key (hex) to FILE (0600) and prints its public key
//   bw2-sign public-key         prints the public key of the secret key in the environment
//   bw2-sign sign ARCHIVE       writes ARCHIVE.sig, signed with the secret key in the environment
//   bw2-sign verify ARCHIVE KEY checks ARCHIVE.sig against the public key KEY (hex)
//
// The secret key comes from BW2_SIGNING_KEY (128 hex digits) or from the file BW2_SIGNING_KEY_FILE.

#include "files/unique_fd.h"
#include "update_signature.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

using namespace bw;

namespace {

int usage() {
    std::fputs("usage: bw2-sign keygen FILE | public-key | sign ARCHIVE | verify ARCHIVE PUBLIC_KEY\n"
               "the secret key is read from BW2_SIGNING_KEY or the file BW2_SIGNING_KEY_FILE\n",
               stderr);
    return 2;
}

std::optional<UpdateSecretKey> secretKeyFromEnvironment() {
    std::string text;
    if (const char* hex = std::getenv("BW2_SIGNING_KEY"); hex && *hex) {
        text = hex;
    } else if (const char* file = std::getenv("BW2_SIGNING_KEY_FILE"); file && *file) {
        std::ifstream in(file);
        std::stringstream content;
        content << in.rdbuf();
        text = content.str();
    } else {
        std::fputs("bw2-sign: set BW2_SIGNING_KEY or BW2_SIGNING_KEY_FILE\n", stderr);
        return std::nullopt;
    }
    std::optional<UpdateSecretKey> key = secretKeyFromHex(text);
    if (!key)
        std::fputs("bw2-sign: the secret key is not 128 hexadecimal digits\n", stderr);
    return key;
}

bool writeAll(int fd, const void* data, size_t size) {
    return write(fd, data, size) == static_cast<ssize_t>(size);
}

int keygen(const std::string& path) {
    auto [publicKey, secretKey] = generateUpdateKeyPair();
    const std::string hex = keyToHex(secretKey.data(), secretKey.size()) + "\n";
    UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid() || !writeAll(file.get(), hex.data(), hex.size()) || !file.close()) {
        std::fprintf(stderr, "bw2-sign: cannot write %s (%s)\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", keyToHex(publicKey.data(), publicKey.size()).c_str());
    return 0;
}

int sign(const std::string& archive) {
    std::optional<UpdateSecretKey> key = secretKeyFromEnvironment();
    if (!key)
        return 1;
    UniqueFd in(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::vector<std::uint8_t>> signature = in.valid() ? signFileContent(in.get(), *key) : std::nullopt;
    if (!signature) {
        std::fprintf(stderr, "bw2-sign: cannot sign %s\n", archive.c_str());
        return 1;
    }
    std::string sigPath = archive + ".sig";
    UniqueFd out(open(sigPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid() || !writeAll(out.get(), signature->data(), signature->size()) || !out.close()) {
        std::fprintf(stderr, "bw2-sign: cannot write %s\n", sigPath.c_str());
        return 1;
    }
    return 0;
}

int verify(const std::string& archive, const std::string& publicHex) {
    std::optional<UpdatePublicKey> key = publicKeyFromHex(publicHex);
    if (!key) {
        std::fputs("bw2-sign: the public key is not 64 hexadecimal digits\n", stderr);
        return 2;
    }
    UniqueFd in(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    std::ifstream sigFile(archive + ".sig", std::ios::binary);
    std::vector<std::uint8_t> signature((std::istreambuf_iterator<char>(sigFile)), std::istreambuf_iterator<char>());
    if (!in.valid() || !verifyFileSignature(in.get(), signature, *key)) {
        std::fprintf(stderr, "bw2-sign: %s: bad or missing signature\n", archive.c_str());
        return 1;
    }
    std::printf("%s: signature good\n", archive.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "keygen" && argc == 3)
        return keygen(argv[2]);
    if (command == "public-key" && argc == 2) {
        std::optional<UpdateSecretKey> key = secretKeyFromEnvironment();
        if (!key)
            return 1;
        UpdatePublicKey publicKey = publicKeyOf(*key);
        std::printf("%s\n", keyToHex(publicKey.data(), publicKey.size()).c_str());
        return 0;
    }
    if (command == "sign" && argc == 3)
        return sign(argv[2]);
    if (command == "verify" && argc == 4)
        return verify(argv[2], argv[3]);
    return usage();
}
