#include "recovery_fixture.h"

#include "store/cache_paths.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>

namespace bw::test {

std::vector<std::string> makeBatch(const std::string& cacheFolder, const std::string& batchName, double lastAddition,
                                   const std::vector<FakeItem>& items) {
    const std::string batch = cacheFolder + "/" + batchName;
    makeDirs(batch);
    BWIndexTable table;
    std::vector<std::string> stored;
    std::uint64_t size = 0;
    for (const FakeItem& item : items) {
        const std::string storedName = newStoredItemName();
        if (item.isFolder) {
            makeDirs(batch + "/" + storedName);
            writeFile(batch + "/" + storedName + "/inside.txt", item.content);
        } else {
            writeFile(batch + "/" + storedName, item.content);
        }
        size += item.content.size();
        table[storedName] = BWCacheIndexEntry{item.name, item.addDate, item.originalPath};
        stored.push_back(storedName);
    }
    BWCacheIndex index;
    index.setIndexTable(table);
    index.setCacheSize(size);
    index.setCacheCreationTime(lastAddition);
    index.setCacheLastAdditionTime(lastAddition);
    EXPECT_TRUE(writeCacheIndex(index, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    return stored;
}

ShellResult runShell(const std::string& line) {
    ShellResult result;
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> namesOf(const std::vector<RecoveryItem>& items) {
    std::vector<std::string> names;
    for (const RecoveryItem& item : items)
        names.push_back(item.displayName);
    return names;
}

} // namespace bw::test
