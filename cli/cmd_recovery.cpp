// bw2ctl list, recover, restore and delete: the recovery tab's work from a terminal.

#include "command.h"

#include "cache_item_removal.h"
#include "item_selection.h"
#include "json_writer.h"
#include "notification_bus.h"
#include "notification_names.h"
#include "recovery_copy.h"
#include "recovery_list.h"
#include "recovery_list_state.h"
#include "recovery_texts.h"
#include "reference_time.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void printListHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl list [--all-disks] [--hours N] [--search TEXT] [--json]\n\n"
                      "Lists the items kept in your caches, newest first: id, date, size, name and the place\n"
                      "each was trashed from (when the trash recorded it).\n"
                      "  --all-disks    every local volume's cache, not only the home cache\n"
                      "  --hours N      batches added to in the last N hours (and 5 minutes); 0 lists all.\n"
                      "                 Without it the window is the first of 1, 3, 6, 12, 24 and 168 hours that\n"
                      "                 shows something, else everything.\n"
                      "  --search TEXT  names holding TEXT, ignoring case and accents\n"
                      "  --json         one JSON array for scripts\n"
                      "Exits 1 when nothing is listed.\n");
}

void printRecoverHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl recover ID|NAME... --to FOLDER [--json]\n\n"
                      "Copies cached items into FOLDER under the names they had in the trash (\"name - 1\" and\n"
                      "so on when a name is taken). The cache keeps them. An ID may be shortened to its first\n"
                      "characters (4 at least); a NAME that fits several items is refused with their ids.\n"
                      "Exits 1 when an item is not found or cannot be copied.\n");
}

void printRestoreHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl restore ID|NAME... [--json]\n\n"
                      "Copies cached items back to the places they were trashed from, recreating missing\n"
                      "folders (\"name - 1\" and so on when the name is taken there). The cache keeps them.\n"
                      "Exits 1 when an item is not found, its place is not known, or it cannot be copied.\n");
}

void printDeleteHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl delete ID|NAME... [--yes] [--json]\n\n"
                      "Deletes cached items for good. Asks first on a terminal; elsewhere --yes is needed.\n"
                      "Exits 1 when an item is not found or its index cannot be read.\n");
}

// Control characters of a name would steer the terminal; they are shown as "?".
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

std::string sizeColumn(const bw::RecoveryItem& item) {
    if (item.isFolder)
        return "folder";
    return bw::englishSizeText(item.itemSize.value_or(0));
}

void writeItemJson(bw::JsonWriter& json, const bw::RecoveryItem& item) {
    json.beginObject();
    json.key("id").value(item.storedName);
    json.key("name").value(item.displayName);
    json.key("date").value(item.cacheDate);
    json.key("folder").value(item.isFolder);
    json.key("size");
    if (item.itemSize)
        json.value(*item.itemSize);
    else
        json.null();
    json.key("originalPath");
    if (item.originalPath)
        json.value(*item.originalPath);
    else
        json.null();
    json.key("path").value(item.rawItemPath);
    json.endObject();
}

int flushed(int status) {
    return std::fflush(stdout) == 0 ? status : kFailed;
}

int runList(const std::vector<std::string>& args) {
    bool allDisks = false, json = false;
    std::optional<int> hours;
    std::optional<std::string> search;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            printListHelp(stdout);
            return kOk;
        } else if (a == "--all-disks") {
            allDisks = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--hours" && i + 1 < args.size()) {
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(args[++i].c_str(), &end, 10);
            if (errno || !end || *end || args[i].empty() || value < 0 || value > 24L * 365 * 1000) {
                std::fprintf(stderr, "bw2ctl list: --hours takes a number of hours, 0 or more\n");
                return kUsage;
            }
            hours = static_cast<int>(value);
        } else if (a == "--search" && i + 1 < args.size()) {
            search = args[++i];
        } else {
            printListHelp(stderr);
            return kUsage;
        }
    }

    const bw::CacheLocations locations = bw::CacheLocations::current();
    const double now = bw::timeIntervalSinceReferenceDate();
    const std::vector<bw::RecoveryItem> all =
        allDisks ? bw::getAllCacheContentWithTimeLimitation(locations, 0.0, now)
                 : bw::getCacheContent(bw::homeCacheFolder(locations.homeFolder), 0.0, now);
    bw::RecoveryListState state;
    state.setDiskTag(allDisks ? bw::RecoveryListState::kAllDisksTag : bw::RecoveryListState::kHomeDiskTag);
    state.setTimeTag(hours ? *hours : bw::automaticWindowHours(all, now));
    state.changeDisplaySetting(bw::itemsWithinWindow(all, state.timeTag(), now));
    if (search)
        state.updateSearch(*search);
    const std::size_t rows = state.numberOfRows();

    if (json) {
        bw::JsonWriter writer;
        writer.beginArray();
        for (std::size_t i = 0; i < rows; ++i)
            writeItemJson(writer, state.row(i));
        writer.endArray();
        std::printf("%s\n", writer.text().c_str());
        return flushed(rows ? kOk : kFailed);
    }

    if (state.timeTag() > 0)
        std::fprintf(stderr, "bw2ctl list: batches of the last %d hour%s (--hours 0 lists all)\n", state.timeTag(),
                     state.timeTag() == 1 ? "" : "s");
    if (rows == 0) {
        std::fprintf(stderr, "bw2ctl list: nothing to list\n");
        return kFailed;
    }
    std::size_t nameWidth = 4;
    for (std::size_t i = 0; i < rows; ++i)
        nameWidth = std::max(nameWidth, std::min<std::size_t>(40, state.row(i).displayName.size()));
    std::printf("%-8s  %-22s  %10s  %-*s  %s\n", "ID", "DATE", "SIZE", static_cast<int>(nameWidth), "NAME",
                "ORIGINAL PATH");
    for (std::size_t i = 0; i < rows; ++i) {
        const bw::RecoveryItem& item = state.row(i);
        std::printf("%-8.8s  %-22s  %10s  %-*s  %s\n", item.storedName.c_str(),
                    bw::localDateText(item.cacheDate).c_str(), sizeColumn(item).c_str(), static_cast<int>(nameWidth),
                    printable(item.displayName).c_str(),
                    item.originalPath ? printable(*item.originalPath).c_str() : "-");
    }
    return flushed(kOk);
}

// The items the words name, among everything in every cache of the user; nothing when one word names
// nothing or several items (each reported on standard error).
std::optional<std::vector<bw::RecoveryItem>> itemsNamed(const char* command, const std::vector<std::string>& words) {
    const std::vector<bw::RecoveryItem> all = bw::getAllCacheContentWithTimeLimitation(
        bw::CacheLocations::current(), 0.0, bw::timeIntervalSinceReferenceDate());
    const bw::ItemSelection selection = bw::selectItems(all, words);
    for (const std::string& word : selection.unmatched)
        std::fprintf(stderr, "bw2ctl %s: no cached item is called or has the id '%s'\n", command,
                     printable(word).c_str());
    for (const auto& ambiguity : selection.ambiguous) {
        std::fprintf(stderr, "bw2ctl %s: '%s' fits %zu items; name one by its id:\n", command,
                     printable(ambiguity.word).c_str(), ambiguity.ids.size());
        for (const std::string& id : ambiguity.ids)
            std::fprintf(stderr, "  %s\n", id.c_str());
    }
    if (!selection.complete())
        return std::nullopt;
    return selection.items;
}

struct ItemArguments {
    std::vector<std::string> words;
    std::optional<std::string> to;
    bool yes = false;
    bool json = false;
    bool help = false;
};

// Parses words and the given options; false on a bad use.
bool parseItemArguments(const std::vector<std::string>& args, bool takesTo, bool takesYes, ItemArguments& out) {
    bool onlyWords = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (onlyWords || a.empty() || a[0] != '-') {
            out.words.push_back(a);
        } else if (a == "--") {
            onlyWords = true;
        } else if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--json") {
            out.json = true;
        } else if (takesTo && a == "--to" && i + 1 < args.size()) {
            out.to = args[++i];
        } else if (takesYes && (a == "--yes" || a == "-y")) {
            out.yes = true;
        } else {
            return false;
        }
    }
    return out.help || !out.words.empty();
}

int reportCopies(const char* verb, const std::vector<bw::RecoveryItem>& items,
                 const std::vector<bw::CopyOutcome>& outcomes, bool json) {
    bool allOk = true;
    bw::JsonWriter writer;
    writer.beginArray();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bw::CopyOutcome& outcome = outcomes[i];
        allOk = allOk && outcome.ok;
        if (json) {
            writer.beginObject();
            writer.key("id").value(items[i].storedName);
            writer.key("name").value(items[i].displayName);
            writer.key("ok").value(outcome.ok);
            writer.key("destination").value(outcome.destination);
            if (!outcome.ok)
                writer.key("error").value(outcome.error);
            writer.endObject();
        } else if (outcome.ok) {
            std::printf("%s %s -> %s\n", verb, printable(items[i].displayName).c_str(),
                        printable(outcome.destination).c_str());
        } else {
            std::fprintf(stderr, "bw2ctl: %s: %s\n", printable(items[i].displayName).c_str(), outcome.error.c_str());
        }
    }
    writer.endArray();
    if (json)
        std::printf("%s\n", writer.text().c_str());
    return flushed(allOk ? kOk : kFailed);
}

int runRecover(const std::vector<std::string>& args) {
    ItemArguments parsed;
    if (!parseItemArguments(args, true, false, parsed) || (!parsed.help && !parsed.to)) {
        printRecoverHelp(stderr);
        return kUsage;
    }
    if (parsed.help) {
        printRecoverHelp(stdout);
        return kOk;
    }
    const auto items = itemsNamed("recover", parsed.words);
    if (!items)
        return kFailed;
    return reportCopies("recovered", *items, bw::recoverInFolder(*items, *parsed.to), parsed.json);
}

int runRestore(const std::vector<std::string>& args) {
    ItemArguments parsed;
    if (!parseItemArguments(args, false, false, parsed)) {
        printRestoreHelp(stderr);
        return kUsage;
    }
    if (parsed.help) {
        printRestoreHelp(stdout);
        return kOk;
    }
    const auto items = itemsNamed("restore", parsed.words);
    if (!items)
        return kFailed;
    std::vector<bw::CopyOutcome> outcomes;
    for (const bw::RecoveryItem& item : *items)
        outcomes.push_back(bw::restoreToOriginalPlace(item));
    return reportCopies("restored", *items, outcomes, parsed.json);
}

bool confirmedOnTerminal(std::size_t count) {
    std::fprintf(stderr, "Delete %zu item%s for good? They cannot be recovered afterwards. [y/N] ", count,
                 count == 1 ? "" : "s");
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

int runDelete(const std::vector<std::string>& args) {
    ItemArguments parsed;
    if (!parseItemArguments(args, false, true, parsed)) {
        printDeleteHelp(stderr);
        return kUsage;
    }
    if (parsed.help) {
        printDeleteHelp(stdout);
        return kOk;
    }
    const auto items = itemsNamed("delete", parsed.words);
    if (!items)
        return kFailed;
    if (!parsed.yes) {
        if (!::isatty(STDIN_FILENO)) {
            std::fprintf(stderr, "bw2ctl delete: not on a terminal; add --yes to delete without asking\n");
            return kUsage;
        }
        if (!confirmedOnTerminal(items->size())) {
            std::fprintf(stderr, "bw2ctl delete: nothing deleted\n");
            return kFailed;
        }
    }
    const std::vector<bw::RemovalOutcome> outcomes = bw::removeItems(*items);
    bool allOk = true;
    bw::JsonWriter writer;
    writer.beginArray();
    for (std::size_t i = 0; i < items->size(); ++i) {
        const bw::RemovalOutcome& outcome = outcomes[i];
        allOk = allOk && outcome.removed;
        if (parsed.json) {
            writer.beginObject();
            writer.key("id").value((*items)[i].storedName);
            writer.key("name").value((*items)[i].displayName);
            writer.key("ok").value(outcome.removed);
            if (!outcome.removed)
                writer.key("error").value(outcome.error);
            writer.endObject();
        } else if (outcome.removed) {
            std::printf("deleted %s\n", printable((*items)[i].displayName).c_str());
        } else {
            std::fprintf(stderr, "bw2ctl delete: %s: %s\n", printable((*items)[i].displayName).c_str(),
                         outcome.error.c_str());
        }
    }
    writer.endArray();
    if (parsed.json)
        std::printf("%s\n", writer.text().c_str());
    // The agent's cache figures follow; without a bus there is nobody to tell.
    bw::NotificationBus bus;
    bus.tryPost(bw::notif::kCacheUpdateSilent, std::nullopt, nullptr, true);
    return flushed(allOk ? kOk : kFailed);
}

} // namespace

BW2CTL_COMMAND("list", "list the items kept in your caches (newest first)", runList);
BW2CTL_COMMAND("recover", "copy cached items into a folder", runRecover);
BW2CTL_COMMAND("restore", "copy cached items back to where they were trashed from", runRestore);
BW2CTL_COMMAND("delete", "delete cached items for good", runDelete);
