#pragma once
// The user's folders, where this program's install tree is, the login item (an XDG autostart entry)
// and the running system's version.

#include <string>

namespace bw {

// $HOME, else the password database's home folder; never with a trailing "/" (except "/").
std::string homeFolder();
// $XDG_DATA_HOME when absolute, else home + "/.local/share"; likewise $XDG_CONFIG_HOME / ".config".
std::string xdgDataHome();
std::string xdgConfigHome();

// The running executable (/proc/self/exe) and the install root (the parent of its bin/ folder).
std::string selfExecutablePath();
std::string installRoot();
// <root>/libexec/binwarden2/helper and <root>/bin/binwarden2 of an install root.
std::string launcherPathIn(const std::string& root);
std::string mainApplicationPathIn(const std::string& root);

// $XDG_CONFIG_HOME/autostart/binwarden2-menu.desktop
std::string autostartEntryPath();
bool autostartEntryExists();
// Writes the entry (atomically) so that `executable` starts at login.
bool writeAutostartEntry(const std::string& executable);
// The Exec= value for a program path, quoted as desktop entries require.
std::string desktopExecQuote(const std::string& path);

// A kernel release ("6.1.0-18-amd64") as major, then minor and maintenance as two digits each
// (60100); numbers above 99 are capped at 99 so the form holds. 0 when unreadable.
int osVersionFromRelease(const std::string& release);
// The running kernel's release in that form (uname).
int OSXVersion();

} // namespace bw
