// bw2ctl list, recover, restore and delete: the recovery tab's work from a terminal.

#include "command.h"

#include "cache_item_removal.h"
#include "item_filter.h"
#include "item_selection.h"
#include "plist/json_writer.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "recovery_copy.h"
#include "recovery_list.h"
#include "recovery_list_state.h"
#include "recovery_texts.h"
#include "plist/reference_time.h"
#include "restore_layout.h"
#include "store/trash_info.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <set>
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

constexpr char kSelectionHelp[] =
    "selection (several narrow together):\n"
    "  --from DIR       items trashed from inside DIR ('.' for the working folder)\n"
    "  --search TEXT    names holding TEXT, ignoring case and accents\n"
    "  --since WHEN     stored at or after WHEN: an ISO date (2026-12-01, 2026-12-01T10:30) or an age\n"
    "                   (90s, 30m, 2h, 3d, 2w)\n"
    "  --until WHEN     stored at or before WHEN\n"
    "  --larger SIZE    files larger than SIZE (512, 10k, 10M, 1.5G; KiB, MiB for binary units)\n"
    "  --smaller SIZE   files smaller than SIZE (folders are not measured, so a size leaves them out)\n"
    "  --all-disks      every local volume's cache, not only the home cache\n";

void printListHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl list [SELECTION] [--hours N] [--json | --format TEXT [--null]]\n\n"
                      "Lists the items kept in your caches, newest first: id, date, size, name and the place\n"
                      "each was trashed from (when the trash recorded it).\n"
                      "  --hours N      batches added to in the last N hours (and 5 minutes); 0 lists all.\n"
                      "                 Without it (and without --from, --since, --until, --larger, --smaller)\n"
                      "                 the window is the first of 1, 3, 6, 12, 24 and 168 hours that shows\n"
                      "                 something, else everything.\n"
                      "  --json         one JSON array for scripts\n"
                      "  --format TEXT  one line per item with {id} {name} {original} {date} {size} {human_size}\n"
                      "                 replaced (\\t and \\n are a tab and a new line)\n"
                      "  --null         end each --format record with NUL instead of a new line\n"
                      "%s"
                      "Exits 1 when nothing is listed.\n\n"
                      "example: bw2ctl list --from . --since 3d --format '{id} {original}' | fzf\n",
                 kSelectionHelp);
}

void printRecoverHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl recover (ID|NAME|PATH... | - | --all) --to FOLDER [SELECTION] [--dry-run] [--json]\n\n"
                      "Copies cached items into FOLDER under the names they had in the trash (\"name - 1\" and\n"
                      "so on when a name is taken). The cache keeps them. An ID may be shortened to its first\n"
                      "characters (4 at least); a NAME that fits several items is refused with their ids; a PATH\n"
                      "is the place an item was trashed from (absolute or relative to the working folder).\n"
                      "  -              read ids from standard input, one a line or NUL-separated\n"
                      "  --all          every item the selection options keep\n"
                      "  --dry-run      print what would be copied where, and copy nothing\n"
                      "%s"
                      "Exits 1 when an item is not found or cannot be copied.\n\n"
                      "example: bw2ctl recover --all --search invoice --to ~/Recovered\n",
                 kSelectionHelp);
}

void printRestoreHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl restore (ID|NAME|PATH... | - | --all) [--to FOLDER [--flat]] [SELECTION]\n"
                      "                      [--dry-run] [--json]\n\n"
                      "Copies cached items back to the places they were trashed from, recreating missing\n"
                      "folders. Nothing is ever overwritten: a name taken there gets \"name - 1\" and so on,\n"
                      "and the line says so. The cache keeps the items. A PATH is matched against the places\n"
                      "items were trashed from (absolute or relative to the working folder; the newest copy\n"
                      "when several were trashed from it).\n"
                      "  -              read ids from standard input, one a line or NUL-separated\n"
                      "  --all          every item the selection options keep\n"
                      "  --to FOLDER    restore into FOLDER instead, keeping the layout below the items'\n"
                      "                 common parent folder\n"
                      "  --flat         with --to: every item directly in FOLDER (free names when they clash)\n"
                      "  --dry-run      print what would be restored where, and copy nothing\n"
                      "%s"
                      "Exits 1 when an item is not found, its place is not known, or it cannot be copied.\n\n"
                      "example: bw2ctl restore --all --from . --since 2h\n",
                 kSelectionHelp);
}

void printDeleteHelp(FILE* out) {
    std::fprintf(out, "usage: bw2ctl delete (ID|NAME|PATH... | - | --all) [SELECTION] [--yes] [--dry-run] [--json]\n\n"
                      "Deletes cached items for good. Asks first on a terminal; elsewhere (and when the ids come\n"
                      "from standard input) --yes is needed.\n"
                      "  -              read ids from standard input, one a line or NUL-separated\n"
                      "  --all          every item the selection options keep\n"
                      "  --dry-run      print what would be deleted, and delete nothing\n"
                      "%s"
                      "Exits 1 when an item is not found or its index cannot be read.\n\n"
                      "example: bw2ctl delete --all --larger 1G --until 2026-11-01 --yes\n",
                 kSelectionHelp);
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


// The options every item command shares; `handled` tells whether args[i] was one of them.
struct SelectionOptions {
    bw::ItemFilter filter;
    bool allDisks = false;
    bool narrowsTime = false; // an option that makes the automatic window of `list` pointless
};

enum class Taken { No, Yes, Bad };

Taken takeSelectionOption(const char* command, const std::vector<std::string>& args, std::size_t& i,
                          SelectionOptions& out) {
    const std::string& a = args[i];
    if (a == "--all-disks") {
        out.allDisks = true;
        return Taken::Yes;
    }
    static const char* const kValued[] = {"--from", "--search", "--since", "--until", "--larger", "--smaller"};
    if (std::find_if(std::begin(kValued), std::end(kValued), [&](const char* o) { return a == o; }) ==
        std::end(kValued))
        return Taken::No;
    if (i + 1 >= args.size()) {
        std::fprintf(stderr, "bw2ctl %s: %s needs a value\n", command, a.c_str());
        return Taken::Bad;
    }
    const std::string& value = args[++i];
    const double now = bw::timeIntervalSinceReferenceDate();
    if (a == "--search") {
        out.filter.search = value;
        return Taken::Yes;
    }
    out.narrowsTime = true;
    if (a == "--from") {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd)) {
            std::fprintf(stderr, "bw2ctl %s: the working folder is unknown: %s\n", command, std::strerror(errno));
            return Taken::Bad;
        }
        out.filter.insideFolder = bw::absoluteCleanPath(value, cwd);
    } else if (a == "--since" || a == "--until") {
        const auto moment = bw::parseMomentText(value, now);
        if (!moment) {
            std::fprintf(stderr, "bw2ctl %s: %s takes a date (2026-12-01, 2026-12-01T10:30) or an age (2h, 3d)\n",
                         command, a.c_str());
            return Taken::Bad;
        }
        (a == "--since" ? out.filter.since : out.filter.until) = *moment;
    } else {
        const auto size = bw::parseSizeText(value);
        if (!size) {
            std::fprintf(stderr, "bw2ctl %s: %s takes a size such as 512, 10k, 10M or 1.5G\n", command, a.c_str());
            return Taken::Bad;
        }
        (a == "--larger" ? out.filter.largerThan : out.filter.smallerThan) = *size;
    }
    return Taken::Yes;
}

std::vector<bw::RecoveryItem> cachedItems(bool allDisks) {
    const bw::CacheLocations locations = bw::CacheLocations::current();
    const double now = bw::timeIntervalSinceReferenceDate();
    return allDisks ? bw::getAllCacheContentWithTimeLimitation(locations, 0.0, now)
                    : bw::getCacheContent(bw::homeCacheFolder(locations.homeFolder), 0.0, now);
}

// Display width of UTF-8 text, one column a character (wide characters are rare in file names).
std::size_t columns(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// The text cut to `width` columns with "…" where it was cut: at the end, or at the start for paths
// (whose end says most).
std::string fitted(const std::string& text, std::size_t width, bool keepEnd) {
    if (columns(text) <= width || width == 0)
        return columns(text) <= width ? text : std::string();
    std::size_t keep = width - 1, seen = 0;
    if (!keepEnd) {
        std::size_t i = 0;
        for (; i < text.size(); ++i)
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == keep)
                break;
        return text.substr(0, i) + "…";
    }
    std::size_t i = text.size();
    while (i > 0 && seen < keep) {
        --i;
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++seen;
    }
    return "…" + text.substr(i);
}

std::string padded(const std::string& text, std::size_t width, bool right = false) {
    const std::size_t n = columns(text);
    const std::string fill(n < width ? width - n : 0, ' ');
    return right ? fill + text : text + fill;
}

std::string isoDate(double referenceSeconds) {
    const time_t unix = static_cast<time_t>(bw::unixFromReferenceTime(referenceSeconds));
    struct tm parts;
    char text[32] = {};
    if (!::localtime_r(&unix, &parts) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts))
        return "-";
    return text;
}

// The --format text with its fields filled; empty with `bad` set when a field is unknown.
std::string formatted(const std::string& format, const bw::RecoveryItem& item, std::string& bad) {
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '\\' && i + 1 < format.size() && (format[i + 1] == 't' || format[i + 1] == 'n')) {
            out += format[++i] == 't' ? '\t' : '\n';
            continue;
        }
        if (format[i] != '{') {
            out += format[i];
            continue;
        }
        const std::size_t close = format.find('}', i);
        const std::string field = close == std::string::npos ? format.substr(i) : format.substr(i + 1, close - i - 1);
        if (field == "id")
            out += item.storedName;
        else if (field == "name")
            out += item.displayName;
        else if (field == "original")
            out += item.originalPath.value_or("-");
        else if (field == "date")
            out += isoDate(item.cacheDate);
        else if (field == "size")
            out += item.isFolder ? "-" : std::to_string(item.itemSize.value_or(0));
        else if (field == "human_size")
            out += sizeColumn(item);
        else {
            bad = field;
            return {};
        }
        i = close;
    }
    return out;
}

std::size_t terminalWidth() {
    struct winsize size;
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 0; // not a terminal: nothing is cut
}

int printTable(const std::vector<bw::RecoveryItem>& rows) {
    std::vector<std::array<std::string, 5>> cells;
    std::array<std::size_t, 5> width = {2, 4, 4, 4, 13};
    const std::array<std::string, 5> header = {"ID", "DATE", "SIZE", "NAME", "ORIGINAL PATH"};
    for (const bw::RecoveryItem& item : rows) {
        cells.push_back({item.storedName.substr(0, 8), bw::localDateText(item.cacheDate), sizeColumn(item),
                         printable(item.displayName), item.originalPath ? printable(*item.originalPath) : "-"});
        for (std::size_t c = 0; c < 5; ++c)
            width[c] = std::max(width[c], columns(cells.back()[c]));
    }
    // On a terminal the name and the path share what is left, the path taking up to three fifths
    // (at least 16 columns, and at least 12 for the name), and neither more than it needs.
    if (const std::size_t terminal = terminalWidth()) {
        const std::size_t fixed = width[0] + width[1] + width[2] + 4 * 2;
        const std::size_t left = terminal > fixed ? terminal - fixed : 0;
        if (width[3] + width[4] > left) {
            const std::size_t pathShare = std::min(width[4], std::max<std::size_t>(16, left * 3 / 5));
            width[3] = std::min(width[3], std::max<std::size_t>(12, left > pathShare ? left - pathShare : 0));
            width[4] = std::min(width[4], std::max<std::size_t>(16, left > width[3] ? left - width[3] : 0));
        }
    }
    auto line = [&](const std::array<std::string, 5>& row) {
        std::printf("%s  %s  %s  %s  %s\n", padded(row[0], width[0]).c_str(), padded(row[1], width[1]).c_str(),
                    padded(row[2], width[2], true).c_str(), padded(fitted(row[3], width[3], false), width[3]).c_str(),
                    fitted(row[4], width[4], true).c_str());
    };
    line(header);
    for (const auto& row : cells)
        line(row);
    return flushed(kOk);
}

int runList(const std::vector<std::string>& args) {
    SelectionOptions selection;
    bool json = false, null = false;
    std::optional<int> hours;
    std::optional<std::string> format;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const Taken taken = takeSelectionOption("list", args, i, selection);
        if (taken == Taken::Bad)
            return kUsage;
        if (taken == Taken::Yes)
            continue;
        if (a == "--help" || a == "-h") {
            printListHelp(stdout);
            return kOk;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--null" || a == "-0") {
            null = true;
        } else if (a == "--format" && i + 1 < args.size()) {
            format = args[++i];
        } else if (a == "--hours" && i + 1 < args.size()) {
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(args[++i].c_str(), &end, 10);
            if (errno || !end || *end || args[i].empty() || value < 0 || value > 24L * 365 * 1000) {
                std::fprintf(stderr, "bw2ctl list: --hours takes a number of hours, 0 or more\n");
                return kUsage;
            }
            hours = static_cast<int>(value);
        } else {
            printListHelp(stderr);
            return kUsage;
        }
    }
    if ((json && format) || (null && !format)) {
        std::fprintf(stderr, "bw2ctl list: --null goes with --format, and --format not with --json\n");
        return kUsage;
    }

    const double now = bw::timeIntervalSinceReferenceDate();
    const std::vector<bw::RecoveryItem> all = cachedItems(selection.allDisks);
    bw::RecoveryListState state;
    state.setDiskTag(selection.allDisks ? bw::RecoveryListState::kAllDisksTag : bw::RecoveryListState::kHomeDiskTag);
    state.setTimeTag(hours ? *hours : (selection.narrowsTime ? 0 : bw::automaticWindowHours(all, now)));
    state.changeDisplaySetting(bw::itemsWithinWindow(all, state.timeTag(), now));
    if (selection.filter.search)
        state.updateSearch(*selection.filter.search);
    selection.filter.search.reset(); // the list state searched already
    std::vector<bw::RecoveryItem> shown;
    for (std::size_t i = 0, n = state.numberOfRows(); i < n; ++i)
        shown.push_back(state.row(i));
    const std::vector<bw::RecoveryItem> rows = bw::filterItems(shown, selection.filter);

    if (json) {
        bw::JsonWriter writer;
        writer.beginArray();
        for (const bw::RecoveryItem& item : rows)
            writeItemJson(writer, item);
        writer.endArray();
        std::printf("%s\n", writer.text().c_str());
        return flushed(rows.empty() ? kFailed : kOk);
    }
    if (format) {
        for (const bw::RecoveryItem& item : rows) {
            std::string bad;
            const std::string record = formatted(*format, item, bad);
            if (!bad.empty()) {
                std::fprintf(stderr, "bw2ctl list: unknown field {%s}; fields are {id} {name} {original} {date} "
                                     "{size} {human_size}\n",
                             printable(bad).c_str());
                return kUsage;
            }
            std::fwrite(record.data(), 1, record.size(), stdout);
            std::fputc(null ? '\0' : '\n', stdout);
        }
        return flushed(rows.empty() ? kFailed : kOk);
    }

    if (state.timeTag() > 0)
        std::fprintf(stderr, "bw2ctl list: batches of the last %d hour%s (--hours 0 lists all)\n", state.timeTag(),
                     state.timeTag() == 1 ? "" : "s");
    if (rows.empty()) {
        std::fprintf(stderr, "bw2ctl list: nothing to list\n");
        return kFailed;
    }
    return printTable(rows);
}

// Ids read from standard input: NUL-separated when a NUL is there, else one a line; blank ones skipped.
std::vector<std::string> wordsFromInput() {
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        text.append(buffer, got);
    const char separator = text.find('\0') != std::string::npos ? '\0' : '\n';
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(start, end - start);
        start = end + 1;
        while (!word.empty() && (word.back() == '\r' || word.back() == ' ' || word.back() == '\t'))
            word.pop_back();
        if (!word.empty())
            words.push_back(std::move(word));
    }
    return words;
}

struct ItemArguments {
    std::vector<std::string> words;
    SelectionOptions selection;
    std::optional<std::string> to;
    bool all = false;
    bool fromInput = false;
    bool flat = false;
    bool dryRun = false;
    bool yes = false;
    bool json = false;
    bool help = false;
};

// Parses words and options; false on a bad use (already reported when it is a bad value).
bool parseItemArguments(const char* command, const std::vector<std::string>& args, bool takesTo, bool takesYes,
                        ItemArguments& out) {
    bool onlyWords = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (onlyWords || a.empty() || a[0] != '-') {
            out.words.push_back(a);
            continue;
        }
        const Taken taken = takeSelectionOption(command, args, i, out.selection);
        if (taken == Taken::Bad)
            return false;
        if (taken == Taken::Yes)
            continue;
        if (a == "--") {
            onlyWords = true;
        } else if (a == "-") {
            out.fromInput = true;
        } else if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--json") {
            out.json = true;
        } else if (a == "--all") {
            out.all = true;
        } else if (a == "--dry-run" || a == "-n") {
            out.dryRun = true;
        } else if (takesTo && a == "--to" && i + 1 < args.size()) {
            out.to = args[++i];
        } else if (takesTo && a == "--flat") {
            out.flat = true;
        } else if (takesYes && (a == "--yes" || a == "-y")) {
            out.yes = true;
        } else {
            return false;
        }
    }
    if (out.help)
        return true;
    if (out.all && (out.fromInput || !out.words.empty())) {
        std::fprintf(stderr, "bw2ctl %s: --all selects with the options alone; name no items with it\n", command);
        return false;
    }
    if (out.fromInput)
        for (std::string& word : wordsFromInput())
            out.words.push_back(std::move(word));
    if (!out.all && out.words.empty()) {
        if (out.fromInput)
            std::fprintf(stderr, "bw2ctl %s: no ids on standard input\n", command);
        return false;
    }
    return true;
}

// The items the command works on: with --all, everything the selection keeps; else each word as the
// place an item was trashed from (absolute or relative to the working folder; several trashed from it
// give the newest unless `newestOfSeveral` is false), then as an id or a name, among the items the
// selection keeps in every cache. Nothing when a word names nothing or several items (each reported).
std::optional<std::vector<bw::RecoveryItem>> chosenItems(const char* command, const ItemArguments& parsed,
                                                         bool newestOfSeveral) {
    if (parsed.all) {
        std::vector<bw::RecoveryItem> items =
            bw::filterItems(cachedItems(parsed.selection.allDisks), parsed.selection.filter);
        if (items.empty())
            std::fprintf(stderr, "bw2ctl %s: no cached item fits the selection\n", command);
        return items;
    }
    const std::vector<bw::RecoveryItem> candidates = bw::filterItems(cachedItems(true), parsed.selection.filter);
    char cwd[4096];
    const std::string workingFolder = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    std::vector<bw::RecoveryItem> items;
    std::set<std::string> seen;
    bool complete = true;
    for (const std::string& word : parsed.words) {
        std::vector<bw::RecoveryItem> found =
            bw::itemsTrashedFrom(candidates, bw::absoluteCleanPath(word, workingFolder));
        if (found.size() > 1 && !newestOfSeveral) {
            std::fprintf(stderr, "bw2ctl %s: %zu items were trashed from '%s'; name one by its id:\n", command,
                         found.size(), printable(word).c_str());
            for (const bw::RecoveryItem& item : found)
                std::fprintf(stderr, "  %s  %s\n", item.storedName.c_str(), isoDate(item.cacheDate).c_str());
            complete = false;
            continue;
        }
        if (found.empty()) {
            const bw::ItemSelection selection = bw::selectItems(candidates, {word});
            for (const std::string& unmatched : selection.unmatched)
                std::fprintf(stderr, "bw2ctl %s: no cached item is called, has the id or was trashed from '%s'\n",
                             command, printable(unmatched).c_str());
            for (const auto& ambiguity : selection.ambiguous) {
                std::fprintf(stderr, "bw2ctl %s: '%s' fits %zu items; name one by its id:\n", command,
                             printable(ambiguity.word).c_str(), ambiguity.ids.size());
                for (const std::string& id : ambiguity.ids)
                    std::fprintf(stderr, "  %s\n", id.c_str());
            }
            complete = complete && selection.complete();
            found = selection.items;
        }
        if (!found.empty() && seen.insert(found.front().rawItemPath).second)
            items.push_back(found.front());
    }
    if (!complete)
        return std::nullopt;
    return items;
}

// One copy's line: where it went and, when the wanted name was taken, that a free one was used.
int reportCopies(const char* verb, const std::vector<bw::RecoveryItem>& items,
                 const std::vector<std::string>& wanted, const std::vector<bw::CopyOutcome>& outcomes, bool json) {
    bool allOk = true;
    bw::JsonWriter writer;
    writer.beginArray();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bw::CopyOutcome& outcome = outcomes[i];
        const bool renamed = outcome.ok && !wanted[i].empty() && outcome.destination != wanted[i];
        allOk = allOk && outcome.ok;
        if (json) {
            writer.beginObject();
            writer.key("id").value(items[i].storedName);
            writer.key("name").value(items[i].displayName);
            writer.key("ok").value(outcome.ok);
            writer.key("destination").value(outcome.destination);
            writer.key("renamed").value(renamed);
            if (!outcome.ok)
                writer.key("error").value(outcome.error);
            writer.endObject();
        } else if (outcome.ok) {
            std::printf("%s %s -> %s%s%s%s\n", verb, printable(items[i].displayName).c_str(),
                        printable(outcome.destination).c_str(), renamed ? " (" : "",
                        renamed ? printable(wanted[i]).c_str() : "", renamed ? " exists; kept, free name used)" : "");
        } else {
            std::fprintf(stderr, "bw2ctl: %s: %s\n", printable(items[i].displayName).c_str(), outcome.error.c_str());
        }
    }
    writer.endArray();
    if (json)
        std::printf("%s\n", writer.text().c_str());
    return flushed(allOk ? kOk : kFailed);
}

std::string joinedPath(const std::string& folder, const std::string& name) {
    return (folder.size() > 1 && folder.back() == '/') ? folder + name : folder + "/" + name;
}

// Copies or plans each item into its wanted path; an empty wanted path is an item that cannot go anywhere.
int copyToPaths(const char* verb, const std::vector<bw::RecoveryItem>& items, const std::vector<std::string>& wanted,
                const std::vector<std::string>& errors, bool dryRun, bool json) {
    std::vector<bw::CopyOutcome> outcomes;
    std::set<std::string> planned;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (wanted[i].empty())
            outcomes.push_back({false, {}, errors[i]});
        else if (dryRun)
            outcomes.push_back({true, bw::plannedPath(wanted[i], planned), {}});
        else
            outcomes.push_back(bw::copyItemToPath(items[i], wanted[i]));
    }
    return reportCopies(dryRun ? (std::string("would be ") + verb).c_str() : verb, items, wanted, outcomes, json);
}

// What sets one item command apart while its arguments are read.
struct ItemCommand {
    const char* name;
    bool takesTo = false;
    bool takesYes = false;
    bool newestOfSeveral = true;
    void (*printHelp)(FILE* out) = nullptr;
    // Refuses combinations of options the command does not take.
    bool (*usable)(const ItemArguments& parsed) = nullptr;
};

// The items an item command works on, its help and bad uses handled: nothing when the command ends
// here, with `exitCode` what it answers.
std::optional<std::vector<bw::RecoveryItem>>
commandItems(const ItemCommand& command, const std::vector<std::string>& args, ItemArguments& parsed, int& exitCode) {
    if (!parseItemArguments(command.name, args, command.takesTo, command.takesYes, parsed) ||
        (!parsed.help && command.usable && !command.usable(parsed))) {
        command.printHelp(stderr);
        exitCode = kUsage;
        return std::nullopt;
    }
    if (parsed.help) {
        command.printHelp(stdout);
        exitCode = kOk;
        return std::nullopt;
    }
    auto items = chosenItems(command.name, parsed, command.newestOfSeveral);
    if (!items || items->empty()) {
        exitCode = kFailed;
        return std::nullopt;
    }
    return items;
}

// recover: into one folder (--to), never flat.
bool namesOneFolder(const ItemArguments& parsed) {
    return parsed.to && !parsed.flat;
}

// restore: --flat only together with --to.
bool flatOnlyWithAFolder(const ItemArguments& parsed) {
    return !parsed.flat || parsed.to.has_value();
}

int runRecover(const std::vector<std::string>& args) {
    const ItemCommand command{"recover", true, false, true, printRecoverHelp, namesOneFolder};
    ItemArguments parsed;
    int exitCode = kOk;
    const auto items = commandItems(command, args, parsed, exitCode);
    if (!items)
        return exitCode;
    std::vector<std::string> wanted, errors(items->size());
    std::set<std::string> used;
    for (const bw::RecoveryItem& item : *items)
        wanted.push_back(joinedPath(*parsed.to, bw::safeFileName(item.displayName)));
    if (!parsed.dryRun)
        return reportCopies("recovered", *items, wanted, bw::recoverInFolder(*items, *parsed.to), parsed.json);
    return copyToPaths("recovered", *items, wanted, errors, true, parsed.json);
}

int runRestore(const std::vector<std::string>& args) {
    const ItemCommand command{"restore", true, false, true, printRestoreHelp, flatOnlyWithAFolder};
    ItemArguments parsed;
    int exitCode = kOk;
    const auto items = commandItems(command, args, parsed, exitCode);
    if (!items)
        return exitCode;
    std::vector<std::string> wanted, errors;
    char cwd[4096];
    const std::string to =
        parsed.to ? bw::absoluteCleanPath(*parsed.to, ::getcwd(cwd, sizeof cwd) ? cwd : "/") : std::string();
    const std::string common = bw::commonParentFolder(*items);
    for (const bw::RecoveryItem& item : *items) {
        std::string error;
        std::string path;
        if (parsed.to && parsed.flat) {
            path = joinedPath(to, bw::safeFileName(item.displayName));
        } else if (parsed.to) {
            path = bw::layoutDestination(item, common, to);
        } else if (!item.originalPath) {
            error = "the place it was trashed from is not known (--to FOLDER restores it elsewhere)";
        } else if (const auto original = bw::safeOriginalPath(*item.originalPath)) {
            path = *original;
        } else {
            error = "the recorded original place is not a usable path";
        }
        wanted.push_back(path);
        errors.push_back(error);
    }
    return copyToPaths("restored", *items, wanted, errors, parsed.dryRun, parsed.json);
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
    const ItemCommand command{"delete", false, true, false, printDeleteHelp, nullptr};
    ItemArguments parsed;
    int exitCode = kOk;
    const auto items = commandItems(command, args, parsed, exitCode);
    if (!items)
        return exitCode;
    if (parsed.dryRun) {
        bw::JsonWriter writer;
        writer.beginArray();
        for (const bw::RecoveryItem& item : *items)
            if (parsed.json)
                writeItemJson(writer, item);
            else
                std::printf("would delete %s  %s\n", item.storedName.c_str(), printable(item.displayName).c_str());
        writer.endArray();
        if (parsed.json)
            std::printf("%s\n", writer.text().c_str());
        return flushed(kOk);
    }
    if (!parsed.yes) {
        if (parsed.fromInput || !::isatty(STDIN_FILENO)) {
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
