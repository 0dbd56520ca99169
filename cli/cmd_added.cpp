// bw2ctl added: shows a cache folder's added list as JSON.

#include "command.h"
#include "show_arguments.h"

#include "store/added_list.h"
#include "plist/json_writer.h"

#include <sys/stat.h>

#include <cstdio>

namespace {

void printAddedHelp(FILE* out) {
    std::fprintf(out,
                 "usage: bw2ctl added show CACHE_FOLDER\n\n"
                 "Prints the cache folder's added list (%s) as one JSON object mapping each item key\n"
                 "to the time it was first recorded, in seconds since 1 January 2001 UTC. A missing or\n"
                 "unreadable list prints {} as the daemon would start from an empty one.\n"
                 "Exits 1 when CACHE_FOLDER is not a folder.\n",
                 bw::kAddedListFileName);
}

int runAdded(const std::vector<std::string>& args) {
    if (const int status = bw::cli::checkShowArguments(args, printAddedHelp); status != bw::cli::kShowPath)
        return status;
    struct stat st {};
    if (::stat(args[1].c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "bw2ctl added: %s is not a folder\n", args[1].c_str());
        return 1;
    }
    const bw::AddedList list = bw::loadAddedList(bw::cli::resolvedShowPath(args[1]));
    bw::JsonWriter json;
    json.beginObject();
    for (const auto& [key, time] : list)
        json.key(key).value(time);
    json.endObject();
    std::printf("%s\n", json.text().c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

BW2CTL_COMMAND("added", "show a cache folder's added list (.Binwarden2.bw2added) as JSON", runAdded);
