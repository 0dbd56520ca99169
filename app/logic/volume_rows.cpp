#include "volume_rows.h"

#include "volume_family.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace bw {

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

VolumeChecks VolumeChecks::system() {
    VolumeChecks checks;
    checks.qualifies = [](const std::string& path) { return isVolumeHFS(path) && !isTimeMachineVolume(path); };
    checks.exists = [](const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    };
    return checks;
}

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    auto slash = trimmed.rfind('/');
    return slash == std::string::npos || trimmed.size() == 1 ? trimmed : trimmed.substr(slash + 1);
}

std::vector<VolumeEntry> protectedVolumeRows(const std::vector<std::string>& mountedVolumes,
                                             const std::vector<VolumeEntry>& stored, const VolumeChecks& checks) {
    std::vector<VolumeEntry> rows;
    for (const auto& path : mountedVolumes) {
        if (path.size() < 2 || equalsIgnoringCase(lastPathComponent(path), "eDrive") || !checks.qualifies(path))
            continue;
        // A volume listed twice by the mount table is shown once.
        if (std::any_of(rows.begin(), rows.end(), [&](const VolumeEntry& row) { return row.path == path; }))
            continue;
        auto match = std::find_if(stored.begin(), stored.end(), [&](const VolumeEntry& e) { return e.path == path; });
        rows.push_back({path, match != stored.end() && match->isProtected});
    }
    for (const auto& entry : stored) {
        if (entry.path.empty() || checks.exists(entry.path))
            continue;
        if (std::none_of(rows.begin(), rows.end(), [&](const VolumeEntry& row) { return row.path == entry.path; }))
            rows.push_back(entry);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const VolumeEntry& a, const VolumeEntry& b) {
        return lastPathComponent(a.path) < lastPathComponent(b.path);
    });
    rows.insert(rows.begin(), VolumeEntry{"/", true});
    return rows;
}

std::string volumeRowName(const VolumeEntry& row, const std::string& homeTrashText) {
    return row.path.size() == 1 ? homeTrashText : lastPathComponent(row.path);
}

} // namespace bw
