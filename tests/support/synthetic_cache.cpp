#include "synthetic_cache.h"

#include "store/cache_index.h"
#include "store/cache_paths.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace bw::test {

void writeSyntheticCache(const std::string& cache, int batches, int itemsPerBatch,
                         const std::function<SyntheticEntry(int batch, int item)>& entry,
                         const std::function<double(int batch)>& lastAddition) {
    for (int b = 0; b < batches; ++b) {
        const std::string batch = cache + "/batch " + std::to_string(b);
        fs::create_directories(batch);
        BWIndexTable table;
        for (int i = 0; i < itemsPerBatch; ++i) {
            const std::string stored = newStoredItemName();
            if (i % 10 == 0)
                fs::create_directory(batch + "/" + stored);
            else
                std::ofstream(batch + "/" + stored) << "x";
            SyntheticEntry e = entry(b, i);
            table[stored] = BWCacheIndexEntry{e.displayName, e.addDate, "/home/u/Documents/" + e.displayName};
        }
        BWCacheIndex index;
        index.setIndexTable(std::move(table));
        index.setCacheLastAdditionTime(lastAddition(b));
        writeCacheIndex(index, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    }
}

} // namespace bw::test
