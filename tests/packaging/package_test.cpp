// The Debian package as a distribution sees it: built by cpack from this build tree, its contents and
// control fields, installed by dpkg into a throw-away root, checked by lintian and the desktop
// validators; and `cmake --install` to a prefix, which shares the package's install rules.

#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using bw::test::buildDir;
using bw::test::readFile;
using bw::test::TempDir;

constexpr char kHelper[] = "/usr/libexec/binwarden2/helper";

struct Output {
    int status = -1;
    std::string text;
};

// One shell command's status and its standard output and error together.
class Pipe {
public:
    explicit Pipe(const std::string& command) : m_file(popen((command + " 2>&1").c_str(), "r")) {}
    ~Pipe() {
        if (m_file)
            pclose(m_file);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    Output finish() {
        Output out;
        if (!m_file)
            return out;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            out.text.append(buffer, n);
        int status = pclose(m_file);
        m_file = nullptr;
        out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return out;
    }

private:
    FILE* m_file;
};

Output run(const std::string& command) {
    return Pipe(command).finish();
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool hasTool(const std::string& name) {
    return run("command -v " + shellQuoted(name)).status == 0;
}

bool mainApplicationBuilt() {
    return fs::exists(buildDir() + "/bin/binwarden2");
}

// Every file the package must carry (path from the root) and its mode as dpkg-deb lists it.
std::vector<std::pair<std::string, std::string>> expectedFiles() {
    const std::string exe = "-rwxr-xr-x", data = "-rw-r--r--";
    std::vector<std::pair<std::string, std::string>> files = {
        {"/usr/bin/binwarden2-menu", exe},
        {"/usr/bin/bw2ctl", exe},
        {kHelper, "-rwsr-xr-x"},
        {"/usr/libexec/binwarden2/bw2daemon", exe},
        {"/usr/share/polkit-1/actions/org.binwarden2.repair-helper.policy", data},
        {"/usr/share/dbus-1/system.d/org.binwarden2.conf", data},
        {"/etc/xdg/autostart/binwarden2-menu.desktop", data},
        {"/usr/share/icons/hicolor/scalable/apps/binwarden2.svg", data},
        {"/usr/share/man/man1/bw2ctl.1.gz", data},
        {"/usr/share/bash-completion/completions/bw2ctl", data},
        {"/usr/share/zsh/vendor-completions/_bw2ctl", data},
        {"/usr/share/fish/vendor_completions.d/bw2ctl.fish", data},
        {"/usr/share/man/man1/binwarden2-menu.1.gz", data},
        {"/usr/share/man/man8/bw2daemon.8.gz", data},
        {"/usr/share/man/man8/binwarden2-helper.8.gz", data},
        {"/usr/share/doc/binwarden2/copyright", data},
        {"/usr/share/doc/binwarden2/changelog.gz", data},
    };
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string s = std::to_string(size);
        files.push_back({"/usr/share/icons/hicolor/" + s + "x" + s + "/apps/binwarden2.png", data});
    }
    if (mainApplicationBuilt()) {
        files.push_back({"/usr/bin/binwarden2", exe});
        files.push_back({"/usr/share/applications/binwarden2.desktop", data});
        files.push_back({"/usr/share/metainfo/org.binwarden2.binwarden2.metainfo.xml", data});
        files.push_back({"/usr/share/man/man1/binwarden2.1.gz", data});
    }
    return files;
}

std::string policyAnnotation(const std::string& policy) {
    const std::string open = "<annotate key=\"org.freedesktop.policykit.exec.path\">";
    std::size_t start = policy.find(open);
    if (start == std::string::npos)
        return {};
    start += open.size();
    std::size_t end = policy.find("</annotate>", start);
    return end == std::string::npos ? std::string() : policy.substr(start, end - start);
}

// The package is built once for every case here: cpack installs the whole tree and strips it.
class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<TempDir>("bw2package");
        Output out = run("cpack -G DEB --config " + shellQuoted(buildDir() + "/CPackConfig.cmake") + " -B " +
                         shellQuoted(s_dir->path()));
        s_log = out.text;
        for (const auto& entry : fs::directory_iterator(s_dir->path()))
            if (entry.path().extension() == ".deb")
                s_deb = entry.path().string();
    }
    static void TearDownTestSuite() { s_dir.reset(); }
    void SetUp() override { ASSERT_FALSE(s_deb.empty()) << "cpack made no package:\n" << s_log; }

    static inline std::unique_ptr<TempDir> s_dir;
    static inline std::string s_deb;
    static inline std::string s_log;
};

TEST_F(Package, NamedAfterVersionAndArchitectureWithItsDependencies) {
    const std::string arch = run("dpkg --print-architecture").text;
    EXPECT_EQ(fs::path(s_deb).filename().string(),
              std::string("binwarden2_") + BW_VERSION + "_" + arch.substr(0, arch.find('\n')) + ".deb");
    struct Field {
        const char* name;
        const char* holds;
    };
    const Field fields[] = {
        {"Package", "binwarden2"},
        {"Version", BW_VERSION},
        {"Depends", "dbus"},
        {"Depends", "pkexec | policykit-1"},
        // Found by dpkg-shlibdeps from the programs themselves.
        {"Depends", "libc6"},
        {"Depends", "libsystemd0"},
        {"Depends", "libplist"},
        {"Depends", "libqt6widgets6"},
        {"Recommends", "libsecret-1-0"},
        {"Recommends", "gnome-keyring"},
        {"Section", "utils"},
    };
    for (const Field& f : fields) {
        Output value = run("dpkg-deb -f " + shellQuoted(s_deb) + " " + f.name);
        EXPECT_NE(value.text.find(f.holds), std::string::npos) << f.name << ": " << value.text;
    }
    Output conffiles = run("dpkg-deb --info " + shellQuoted(s_deb) + " conffiles");
    EXPECT_NE(conffiles.text.find("/etc/xdg/autostart/binwarden2-menu.desktop"), std::string::npos) << conffiles.text;
}

TEST_F(Package, ContentsAreRootOwnedAndOnlyTheLauncherIsSetUid) {
    Output contents = run("dpkg-deb --contents " + shellQuoted(s_deb));
    ASSERT_EQ(contents.status, 0) << contents.text;
    struct Entry {
        std::string mode, owner;
    };
    std::map<std::string, Entry> entries;
    std::istringstream lines(contents.text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        if (path.size() > 1 && path.back() == '/')
            path.pop_back();
        entries[path.substr(1)] = {mode, owner};
    }
    for (const auto& [path, mode] : expectedFiles()) {
        SCOPED_TRACE(path);
        auto found = entries.find(path);
        ASSERT_NE(found, entries.end()) << contents.text;
        EXPECT_EQ(found->second.mode, mode);
    }
    for (const auto& [path, entry] : entries) {
        SCOPED_TRACE(path);
        EXPECT_EQ(entry.owner, "root/root");
        const bool privileged = entry.mode.size() == 10 && (entry.mode[3] == 's' || entry.mode[6] == 's');
        EXPECT_EQ(privileged, path == kHelper) << entry.mode;
    }
}

TEST_F(Package, InstalledIntoAThrowAwayRootEveryFileIsInPlaceAndLocalPolicyWins) {
    if (!bw::test::isRoot())
        GTEST_SKIP() << "installing with dpkg into a throw-away root needs root";
    struct Case {
        const char* what;
        const char* override; // dpkg-statoverride's "owner group mode", or none
        bool unpackedByHand;  // dpkg-deb -x by someone who lost the bit, then postinst
        uid_t uid;
        mode_t mode;
    };
    const Case cases[] = {
        {"dpkg installs it", nullptr, false, 0, 04755},
        {"an administrator's override is kept", "root root 0750", false, 0, 0750},
        {"postinst gives the bit back", nullptr, true, 0, 04755},
        {"postinst leaves an overridden file alone", "root root 0750", true, 65534, 0755},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root("bw2root");
        const std::string admin = root / "var/lib/dpkg";
        for (const char* folder : {"info", "updates", "triggers"})
            bw::test::makeDirs(admin + "/" + folder);
        bw::test::writeFile(admin + "/status", "");
        bw::test::writeFile(admin + "/available", "");
        if (c.override) {
            Output added =
                run("dpkg-statoverride --root=" + shellQuoted(root.path()) + " --add " + c.override + " " + kHelper);
            ASSERT_EQ(added.status, 0) << added.text;
        }
        if (c.unpackedByHand) {
            TempDir control("bw2control");
            Output unpacked = run("dpkg-deb -x " + shellQuoted(s_deb) + " " + shellQuoted(root.path()) +
                                  " && dpkg-deb -e " + shellQuoted(s_deb) + " " + shellQuoted(control / "DEBIAN"));
            ASSERT_EQ(unpacked.status, 0) << unpacked.text;
            ASSERT_EQ(chown((root.path() + kHelper).c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod((root.path() + kHelper).c_str(), 0755), 0);
            Output configured = run("DPKG_ROOT=" + shellQuoted(root.path()) + " DPKG_ADMINDIR=" + shellQuoted(admin) +
                                    " sh " + shellQuoted(control / "DEBIAN/postinst") + " configure");
            ASSERT_EQ(configured.status, 0) << configured.text;
        } else {
            Output installed =
                run("dpkg --root=" + shellQuoted(root.path()) + " --log=" + shellQuoted(root / "dpkg.log") +
                    " --force-script-chrootless --force-depends -i " + shellQuoted(s_deb));
            ASSERT_EQ(installed.status, 0) << installed.text;
        }
        struct stat st {};
        ASSERT_EQ(lstat((root.path() + kHelper).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << (st.st_mode & 07777);

        for (const auto& [path, mode] : expectedFiles())
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root.path() + path))) << path;
        std::string policy = readFile(root / "usr/share/polkit-1/actions/org.binwarden2.repair-helper.policy");
        EXPECT_EQ(policyAnnotation(policy), kHelper);
        EXPECT_NE(policy.find("<allow_active>auth_admin_keep</allow_active>"), std::string::npos);
    }
}

TEST_F(Package, LintianFindsNoError) {
    if (!hasTool("lintian"))
        GTEST_SKIP() << "lintian is not installed (scripts/install-deps installs it)";
    Output report = run("lintian --fail-on error --display-level '>=warning' " + shellQuoted(s_deb));
    // The warnings are part of what a release looks at.
    std::cout << "lintian:\n" << report.text << std::flush;
    EXPECT_EQ(report.status, 0) << report.text;
}

TEST_F(Package, DesktopEntriesAndMetadataValidate) {
    if (!hasTool("desktop-file-validate") || !hasTool("appstreamcli"))
        GTEST_SKIP() << "desktop-file-utils or appstream is not installed (scripts/install-deps installs them)";
    TempDir root("bw2unpacked");
    ASSERT_EQ(run("dpkg-deb -x " + shellQuoted(s_deb) + " " + shellQuoted(root.path())).status, 0);
    // What the package carries, and the sources of what it leaves out without the main window.
    const std::string source = bw::test::sourceDir() + "/packaging/";
    const std::pair<std::string, std::string> files[] = {
        {"etc/xdg/autostart/binwarden2-menu.desktop", "desktop/binwarden2-menu.desktop"},
        {"usr/share/applications/binwarden2.desktop", "desktop/binwarden2.desktop"},
        {"usr/share/metainfo/org.binwarden2.binwarden2.metainfo.xml",
         "metainfo/org.binwarden2.binwarden2.metainfo.xml"},
    };
    std::vector<std::string> commands;
    for (const auto& [packaged, fallback] : files) {
        const std::string path = fs::exists(root / packaged) ? root / packaged : source + fallback;
        commands.push_back((path.ends_with(".desktop") ? "desktop-file-validate " : "appstreamcli validate --no-net ") +
                           shellQuoted(path));
    }
    for (const std::string& command : commands) {
        Output out = run(command);
        EXPECT_EQ(out.status, 0) << command << "\n" << out.text;
    }
}

// `make install PREFIX=…`: the launcher's path in the polkit action follows the prefix given at install
// time, the autostart entry lands under the prefix, and the launcher gets no set-uid bit from it.
TEST(PrefixInstall, FollowsThePrefixGivenAtInstallTime) {
    TempDir dir("bw2prefix");
    struct Case {
        const char* prefix;
        const char* escaped;
    };
    const Case cases[] = {{"opt/bw2", "opt/bw2"}, {"a & <b>", "a &amp; &lt;b&gt;"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        const std::string prefix = dir / c.prefix;
        Output out = run("cmake --install " + shellQuoted(buildDir()) + " --prefix " + shellQuoted(prefix));
        ASSERT_EQ(out.status, 0) << out.text;
        std::string policy = readFile(prefix + "/share/polkit-1/actions/org.binwarden2.repair-helper.policy");
        EXPECT_EQ(policyAnnotation(policy), dir.path() + "/" + c.escaped + "/libexec/binwarden2/helper");
        EXPECT_TRUE(fs::is_regular_file(prefix + "/etc/xdg/autostart/binwarden2-menu.desktop"));
        struct stat st {};
        ASSERT_EQ(stat((prefix + "/libexec/binwarden2/helper").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 06000, 0u);
    }
}

} // namespace
