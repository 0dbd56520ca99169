#pragma once
// Why protection could not start: the agent's reasons, their texts, where the last one is kept for
// `bw2ctl status`, and the state of the launcher that most of them come down to.

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

namespace bw {

enum class ProtectionProblem {
    LauncherNotSetUp,      // the helper, its folder or bw2daemon is not root's (the repair cannot fix it)
    NoAuthorizationTool,   // the helper needs its repair and there is no pkexec to ask with
    AuthorizationDismissed,
    AuthorizationRefused,
    RepairFailed,          // the repair ran but the helper is still not set up
    LauncherRefused,       // the helper ended without a daemon running for the trash
    NoBus,                 // no system bus: daemons and requests cannot reach each other
};

struct ProtectionProblemReport {
    ProtectionProblem problem = ProtectionProblem::LauncherNotSetUp;
    std::string trash;    // the trash "files" folder concerned (empty when it concerns every trash)
    std::string launcher; // the helper's path
    std::string detail;   // what was found, in one line (may be empty)
    std::time_t when = 0; // when it was reported (0 = unknown)
};

// The strings-table key of a problem ("202_Protection …").
std::string protectionProblemKey(ProtectionProblem problem);
// The problem behind a key; nothing for a key that is not one of them.
std::optional<ProtectionProblem> protectionProblemFromKey(const std::string& key);
// The user-facing text: what happened, and what to do about it (the command to run, when there is one).
std::string protectionProblemText(const ProtectionProblemReport& report);
// Title for a note or alert showing it.
std::string protectionProblemTitle();

// What stops the launcher at `launcher` from starting root daemons: empty when it is set up (helper
// root-owned and set-uid, its folder and bw2daemon root-owned and not writable by group or others).
// `repairCanFix` tells whether the helper's own repair (run as root) would be enough: only its file
// is wrong, and the folder and bw2daemon are root's already.
std::string launcherSetupProblem(const std::string& launcher, bool* repairCanFix = nullptr);
// The one command an administrator runs to set the launcher up as it is.
std::string launcherSetupCommand(const std::string& launcher);

// Whether standard error is read by someone: a terminal or a regular (log) file, not /dev/null or a pipe
// nobody may read.
bool standardErrorKeepsLines();

// $XDG_STATE_HOME/binwarden2/protection-problem (default ~/.local/state/...), for `home`.
std::string protectionProblemFilePath(const std::string& home);
// Keeps the last report (atomic whole-file write, folder made 0700); false on failure, logged.
bool writeLastProtectionProblem(const std::string& path, const ProtectionProblemReport& report);
std::optional<ProtectionProblemReport> readLastProtectionProblem(const std::string& path);
void clearLastProtectionProblem(const std::string& path);

} // namespace bw
