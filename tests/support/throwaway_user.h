#pragma once
// An unprivileged user made for one test with useradd and removed with userdel when the object goes.
// Only root can make one; tests check isRoot() first and skip with a clear message otherwise.

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw::test {

bool isRoot();

class ThrowawayUser {
public:
    // `home` becomes the user's home folder in the password database; it is not created.
    explicit ThrowawayUser(const std::string& home);
    ~ThrowawayUser();
    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    bool valid() const { return m_valid; }
    const std::string& name() const { return m_name; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }

private:
    std::string m_name;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_valid = false;
};

// Runs `argv` (argv[0] is the program path) with the given user's real and effective ids (root when
// uid is 0), an empty supplementary group list and the environment `env`; standard error goes to
// `stderrPath` when given. Returns the exit status, or -1 when the program did not exit normally.
int runAs(uid_t uid, gid_t gid, const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& stderrPath = {});

// Starts `argv` like runAs (ids changed only when `uid` is not ours) without waiting for it: standard output
// and error are appended to `logPath`, standard input is /dev/null. The caller stops and reaps the pid.
pid_t spawnAs(uid_t uid, gid_t gid, const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& logPath);
// Gives `path` and, for a folder, everything below it to uid:gid, links themselves included (lchown).
// False (with the failing path in `failed`) at the first item that cannot be given.
bool chownTree(const std::string& path, uid_t uid, gid_t gid, std::string* failed = nullptr);

} // namespace bw::test
