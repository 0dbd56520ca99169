#include "restore_layout.h"

#include "item_filter.h"
#include "recovery_copy.h"
#include "store/trash_info.h"

namespace bw {

namespace {

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::optional<std::string> usableOriginal(const RecoveryItem& item) {
    if (!item.originalPath)
        return std::nullopt;
    return safeOriginalPath(*item.originalPath);
}

} // namespace

std::vector<RecoveryItem> itemsTrashedFrom(const std::vector<RecoveryItem>& items, const std::string& absolutePath) {
    const std::string wanted = absoluteCleanPath(absolutePath, "/");
    std::vector<RecoveryItem> found;
    for (const RecoveryItem& item : items)
        if (item.originalPath && absoluteCleanPath(*item.originalPath, "/") == wanted)
            found.push_back(item);
    return found;
}

std::string commonParentFolder(const std::vector<RecoveryItem>& items) {
    std::string common;
    bool any = false;
    for (const RecoveryItem& item : items) {
        const auto original = usableOriginal(item);
        if (!original)
            continue;
        const std::string parent = parentOf(*original);
        if (!any) {
            common = parent;
            any = true;
            continue;
        }
        while (common != "/" && common != parent && !pathIsBelow(parent, common))
            common = parentOf(common);
    }
    return common;
}

std::string layoutDestination(const RecoveryItem& item, const std::string& commonParent, const std::string& toFolder) {
    const std::string base = toFolder.size() > 1 && toFolder.back() == '/' ? toFolder.substr(0, toFolder.size() - 1)
                                                                           : toFolder;
    const auto original = usableOriginal(item);
    if (!original || commonParent.empty() || !pathIsBelow(*original, commonParent))
        return (base == "/" ? "" : base) + "/" + safeFileName(item.displayName);
    const std::string relative = commonParent == "/" ? original->substr(1) : original->substr(commonParent.size() + 1);
    return (base == "/" ? "" : base) + "/" + relative;
}

std::string plannedPath(const std::string& wantedPath, std::set<std::string>& used) {
    const std::string folder = parentOf(wantedPath);
    const std::string name = wantedPath.substr(wantedPath.rfind('/') + 1);
    std::set<std::string> usedNames;
    for (const std::string& path : used)
        if (parentOf(path) == folder)
            usedNames.insert(path.substr(path.rfind('/') + 1));
    const std::string free = freeNameIn(folder, name, usedNames);
    const std::string planned = (folder == "/" ? "" : folder) + "/" + free;
    used.insert(planned);
    return planned;
}

} // namespace bw
