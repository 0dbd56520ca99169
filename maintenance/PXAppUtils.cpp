#include "PXAppUtils.h"

#include "files/dir_handle.h"

#include "desktop_session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

namespace bw {

namespace {

constexpr char kAgentProgram[] = "binwarden2-menu";

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

// The Exec= value of the [Desktop Entry] group; empty when there is none.
std::string execOfEntry(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (inGroup && line.rfind("Exec=", 0) == 0)
            return line.substr(5);
    }
    return {};
}

} // namespace

PXAppUtils::PXAppUtils(std::string autostartFolder, std::string myProgram)
    : m_folder(std::move(autostartFolder)), m_myProgram(std::move(myProgram)) {
    if (m_folder.empty()) {
        std::string entry = autostartEntryPath();
        m_folder = entry.substr(0, entry.rfind('/'));
    }
    if (m_myProgram.empty())
        m_myProgram = installRoot() + "/bin/" + kAgentProgram;
}

std::string PXAppUtils::programOfExec(const std::string& exec) {
    // The value is a string first (\s \n \t \r \\), then a command line with double-quoted arguments.
    std::string value;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size()) {
            char next = exec[i + 1];
            const char* unescaped = next == 's'    ? " "
                                    : next == 'n'  ? "\n"
                                    : next == 't'  ? "\t"
                                    : next == 'r'  ? "\r"
                                    : next == '\\' ? "\\"
                                                   : nullptr;
            if (unescaped) {
                value += unescaped;
                ++i;
                continue;
            }
        }
        value += exec[i];
    }
    std::string program;
    std::size_t i = 0;
    while (i < value.size() && value[i] == ' ')
        ++i;
    if (i < value.size() && value[i] == '"') {
        for (++i; i < value.size() && value[i] != '"'; ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            program += value[i];
        }
    } else {
        for (; i < value.size() && value[i] != ' '; ++i)
            program += value[i];
    }
    // '%' is doubled in Exec= (a single one starts a field code).
    std::string unpercented;
    for (std::size_t k = 0; k < program.size(); ++k) {
        unpercented += program[k];
        if (program[k] == '%' && k + 1 < program.size() && program[k + 1] == '%')
            ++k;
    }
    return unpercented;
}

std::vector<PXAppUtils::Entry> PXAppUtils::entries() const {
    std::vector<Entry> found;
    DirHandle dir = DirHandle::ofPath(m_folder);
    while (const dirent* entry = dir.next()) {
        std::string name = entry->d_name;
        if (name.size() <= 8 || name.compare(name.size() - 8, 8, ".desktop") != 0)
            continue;
        std::string file = m_folder + "/" + name;
        found.push_back({file, programOfExec(execOfEntry(file))});
    }
    return found;
}

std::vector<LoginItem> PXAppUtils::loginItems() const {
    std::vector<LoginItem> items;
    for (const auto& entry : entries()) {
        if (exists(entry.program))
            items.push_back({entry.file, entry.program, lastComponent(entry.program)});
    }
    return items;
}

bool PXAppUtils::isMyAppInLoginItems(bool strict) const {
    for (const auto& item : loginItems()) {
        if (item.bundleName == lastComponent(m_myProgram) && (!strict || item.path == m_myProgram))
            return true;
    }
    return false;
}

bool PXAppUtils::setMyAppInLoginItems(bool add) {
    if (!add)
        return removeMyAppInLoginItems() >= 0;
    if (isMyAppInLoginItems(true))
        return true;
    return writeAutostartEntry(m_myProgram);
}

int PXAppUtils::removeMyAppInLoginItems() {
    return removeAnAppInLoginItemsWithAppBundlePath(m_myProgram);
}

int PXAppUtils::removeAnAppInLoginItemsWithAppBundlePath(const std::string& path) {
    if (path.empty())
        return 0;
    int removed = 0;
    if (exists(path)) {
        for (const auto& entry : entries()) {
            bool inside = entry.program == path || entry.program.rfind(path + "/", 0) == 0;
            if (inside && unlink(entry.file.c_str()) == 0)
                ++removed;
        }
        return removed;
    }
    std::string name = lastComponent(path);
    for (const auto& entry : entries()) {
        bool named = entry.program.find(name) != std::string::npos ||
                     withoutExtension(lastComponent(entry.file)) == withoutExtension(name);
        if (named && unlink(entry.file.c_str()) == 0)
            ++removed;
    }
    return removed;
}

int PXAppUtils::removeAppInLoginItemsWithLastPathComponent(const std::string& name) {
    if (name.empty())
        return 0;
    int removed = 0;
    for (const auto& entry : entries()) {
        bool named = lastComponent(entry.program) == name ||
                     withoutExtension(lastComponent(entry.file)) == withoutExtension(name);
        if (named && unlink(entry.file.c_str()) == 0)
            ++removed;
    }
    return removed;
}

} // namespace bw
