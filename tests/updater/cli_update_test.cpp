// bw2ctl update against a script served on 127.0.0.1 by the test: what `check` prints, and what `install`
// refuses (a tree that is not the caller's, an archive without a good signature, a missing --yes).

#include "archive_builder.h"
#include "store/compression.h"
#include "loopback_server.h"
#include "temp_dir.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

extern char** environ;

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "updater_cli_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

QByteArray compressed(const std::string& text) {
    return LoopbackServer::compressed(text);
}

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// Runs bw2ctl with its output in files, serving the test's loop (and so its server) meanwhile.
ProgramRun runBw2ctl(const std::string& program, const std::vector<std::string>& args, const TempDir& dir) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ProgramRun run;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return run;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(dir / "out");
    run.err = readFile(dir / "err");
    return run;
}

} // namespace

TEST(UpdateCommand, CheckAndInstall) {
    application();
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    LoopbackServer server;
    ASSERT_TRUE(server.listening());
    // bw2ctl updates the tree it runs from: a copy of it in a tree of our own.
    TempDir place;
    std::string root = place / "binwarden2";
    makeDirs(root + "/bin");
    fs::copy_file(buildDir() + "/bin/bw2ctl", root + "/bin/bw2ctl");
    writeFile(root + "/bin/binwarden2-menu", "old");
    std::string bw2ctl = root + "/bin/bw2ctl";

    auto [publicKey, secretKey] = generateUpdateKeyPair();
    TempDir work;
    writeArchive(work / "u.tar.gz", installTreeEntries("2.1"));
    signArchive(work / "u.tar.gz", secretKey);
    server.setRoute("/u.tar.gz", {QByteArray::fromStdString(readFile(work / "u.tar.gz"))});
    server.setRoute("/u.tar.gz.sig", {QByteArray::fromStdString(readFile(work / "u.tar.gz.sig"))});
    std::string script = server.url("/update.php");
    std::string newer = "9.1;1;https://www.example.org/bw2;" + server.url("/u.tar.gz");

    struct Case {
        const char* name;
        QByteArray reply;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> out; // lines the output holds
        std::string err;              // a text standard error holds
    } cases[] = {
        {"check, compressed",
         compressed(newer),
         {"update", "check", "--script", script},
         0,
         {"newest version: 9.1\n", "running version: 2.0.0\n", "newer: yes\n", "archive: " + server.url("/u.tar.gz")},
         ""},
        {"check, plain",
         QByteArray("1.0;1;https://www.example.org/;https://www.example.org/a.tar.gz"),
         {"update", "check", "--script", script},
         0,
         {"newest version: 1.0\n", "newer: no\n"},
         ""},
        {"check, no answer", QByteArray(), {"update", "check", "--script", script}, 1, {}, "no usable answer"},
        {"check, address not allowed",
         compressed(newer),
         {"update", "check", "--script", "http://example.org/"},
         2,
         {},
         "https"},
        {"install, nothing newer",
         compressed("1.0;1;https://e.example/;https://e.example/a.tar.gz"),
         {"update", "install", "--script", script, "--yes"},
         0,
         {"is up to date"},
         ""},
        {"install, system too old",
         compressed("9.1;99999999;https://e.example/;https://e.example/a.tar.gz"),
         {"update", "install", "--script", script, "--yes"},
         1,
         {},
         "needs system"},
        {"install without --yes or a terminal",
         compressed(newer),
         {"update", "install", "--script", script},
         2,
         {},
         "--yes"},
        // As root the tree is root's own (a package's): refused. Otherwise this build trusts no key.
        {"install refused",
         compressed(newer),
         {"update", "install", "--script", script, "--yes"},
         1,
         {},
         getuid() == 0 ? "does not belong to you" : "nothing installed"},
        {"usage", QByteArray(), {"update", "frobnicate"}, 2, {}, "usage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.setRoute("/update.php", {c.reply});
        ProgramRun run = runBw2ctl(bw2ctl, c.args, work);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        for (const auto& line : c.out)
            EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
        if (!c.err.empty()) {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        }
        EXPECT_EQ(readFile(root + "/bin/binwarden2-menu"), "old");
        EXPECT_FALSE(fs::exists(home / "Downloads/u.tar.gz"));
    }
}
