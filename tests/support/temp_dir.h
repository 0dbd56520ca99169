#pragma once
// A temporary folder removed with everything in it when the object goes.

#include <string>

namespace bw::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "bw2test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Writes `content` to `path`, creating or truncating it; fails the test on error.
void writeFile(const std::string& path, const std::string& content);
// Whole content of a file; empty when unreadable.
std::string readFile(const std::string& path);
// mkdir -p
void makeDirs(const std::string& path, unsigned mode = 0755);
// Leaves a Unix socket at `path` (bound, then closed, as a program that ended leaves one); fails the test
// on error.
void makeUnixSocket(const std::string& path);
// The build tree and source tree (BW_BUILD_DIR / BW_SOURCE_DIR override the configured ones).
std::string buildDir();
std::string sourceDir();

} // namespace bw::test
