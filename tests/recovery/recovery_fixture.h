#pragma once
// Builds caches by hand: batch folders with stored items and the index that lists them.

#include "store/cache_index.h"
#include "recovery_item.h"

#include <optional>
#include <string>
#include <vector>

namespace bw::test {

struct FakeItem {
    std::string name; // the name it had in the trash ("" for an entry without one)
    double addDate = 0.0;
    std::string content = "x"; // a file with this content, or a folder when isFolder
    bool isFolder = false;
    std::optional<std::string> originalPath{};
};

// Writes a batch folder `cacheFolder/batchName` holding the items under fresh stored names and an index
// naming them, last added at `lastAddition`. Answers the stored names in the items' order.
std::vector<std::string> makeBatch(const std::string& cacheFolder, const std::string& batchName, double lastAddition,
                                   const std::vector<FakeItem>& items);

// A shell command line's exit status (-1 when it did not exit) and its standard output.
struct ShellResult {
    int status = -1;
    std::string out;
};
ShellResult runShell(const std::string& line);

// The display names of a list, in order.
std::vector<std::string> namesOf(const std::vector<RecoveryItem>& items);

} // namespace bw::test
