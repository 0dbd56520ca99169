#include "temp_dir.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace bw::test {

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out) << "cannot write " << path;
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void makeUnixSocket(const std::string& path) {
    struct sockaddr_un address {};
    ASSERT_LT(path.size(), sizeof address.sun_path) << path;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    const int bound = ::bind(sock, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
    ::close(sock);
    ASSERT_EQ(0, bound) << path;
}

void makeDirs(const std::string& path, unsigned mode) {
    fs::create_directories(path);
    fs::permissions(path, static_cast<fs::perms>(mode));
}

std::string buildDir() {
    const char* dir = std::getenv("BW_BUILD_DIR");
    return dir && *dir ? dir : BW_BUILD_TREE;
}

std::string sourceDir() {
    const char* dir = std::getenv("BW_SOURCE_DIR");
    return dir && *dir ? dir : BW_SOURCE_TREE;
}

} // namespace bw::test
