#pragma once
// Login items: the XDG autostart entries of the user ($XDG_CONFIG_HOME/autostart/*.desktop). The
// agent's own entry is written by writeAutostartEntry; these operations list and remove entries.

#include <string>
#include <vector>

namespace bw {

struct LoginItem {
    std::string entryFile;  // the .desktop file
    std::string path;       // the program its Exec= starts (first argument, unquoted)
    std::string bundleName; // that program's last path component
};

class PXAppUtils {
public:
    // `autostartFolder` empty = $XDG_CONFIG_HOME/autostart; `myProgram` empty = the agent of this
    // install tree (<root>/bin/binwarden2-menu).
    explicit PXAppUtils(std::string autostartFolder = {}, std::string myProgram = {});

    // One item per entry whose Exec= names a program that exists.
    std::vector<LoginItem> loginItems() const;
    // An item starting a program named like ours; when strict, it must be ours exactly (same path).
    bool isMyAppInLoginItems(bool strict = false) const;
    // Adds our agent's entry when none names it (the one the agent writes itself).
    bool setMyAppInLoginItems(bool add);
    // Removes the entries that start our agent.
    int removeMyAppInLoginItems();
    // Entries whose program is `path` (or lies inside it); when nothing exists there any more, every
    // entry whose program or entry file carries its last component. Answers how many went.
    int removeAnAppInLoginItemsWithAppBundlePath(const std::string& path);
    // Entries whose program's last component is `name`, or whose entry file is named after `name`
    // without its extension.
    int removeAppInLoginItemsWithLastPathComponent(const std::string& name);

    // The program an Exec= value starts: its first argument with the desktop-entry quoting undone.
    static std::string programOfExec(const std::string& exec);

private:
    struct Entry {
        std::string file;
        std::string program;
    };
    std::vector<Entry> entries() const;

    std::string m_folder;
    std::string m_myProgram;
};

} // namespace bw
