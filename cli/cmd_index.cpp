// bw2ctl index: shows a batch folder's index as JSON.

#include "command.h"
#include "show_arguments.h"

#include "cache_index.h"
#include "json_writer.h"

#include <cstdio>

namespace {

void printIndexHelp(FILE* out) {
    std::fprintf(out,
                 "usage: bw2ctl index show BATCH_FOLDER\n\n"
                 "Prints the batch folder's %s as one JSON object:\n"
                 "  {\"permissionsRepaired\": bool, \"cacheSize\": bytes, \"cacheCreationTime\": t,\n"
                 "   \"cacheLastAdditionTime\": t, \"entries\": {\"<stored name>\": {\"name\": \"<trash name>\",\n"
                 "   \"added\": t, \"originalPath\": \"<where it was trashed from, when known>\"}, ...}}\n"
                 "Times are seconds since 1 January 2001 UTC; \"entries\" is null when the index has no table.\n"
                 "Exits 1 when the folder holds no readable index.\n",
                 bw::kCacheIndexFileName);
}

int runIndex(const std::vector<std::string>& args) {
    if (const int status = bw::cli::checkShowArguments(args, printIndexHelp); status != bw::cli::kShowPath)
        return status;
    const auto index = bw::readCacheIndex(bw::cli::resolvedShowPath(args[1]));
    if (!index) {
        std::fprintf(stderr, "bw2ctl index: no readable %s in %s\n", bw::kCacheIndexFileName, args[1].c_str());
        return 1;
    }
    bw::JsonWriter json;
    json.beginObject();
    json.key("permissionsRepaired").value(index->permissionsRepaired());
    json.key("cacheSize").value(index->cacheSize());
    json.key("cacheCreationTime").value(index->cacheCreationTime());
    json.key("cacheLastAdditionTime").value(index->cacheLastAdditionTime());
    json.key("entries");
    if (index->indexTable()) {
        json.beginObject();
        for (const auto& [storedName, entry] : *index->indexTable()) {
            json.key(storedName).beginObject();
            json.key("name").value(entry.realName);
            json.key("added").value(entry.addDate);
            if (entry.originalPath)
                json.key("originalPath").value(*entry.originalPath);
            json.endObject();
        }
        json.endObject();
    } else {
        json.null();
    }
    json.endObject();
    std::printf("%s\n", json.text().c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

BW2CTL_COMMAND("index", "show a batch folder's index (CacheIndex.bw2idx) as JSON", runIndex);
