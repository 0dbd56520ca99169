#pragma once
// Names and places of cache folders, batch folders, stored items and item keys.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace bw {

inline constexpr char kCacheFolderName[] = ".Binwarden2Cache";

// Home layout when trashPath begins with homeFolder (character for character): cacheRoot + ".Binwarden2Cache";
// otherwise the volume layout: cacheRoot + ".Binwarden2Cache/<uid>".
std::string cacheFolderFor(const std::string& trashPath, const std::string& cacheRoot, const std::string& homeFolder,
                           uid_t uid);

// "%Y-%m-%d %H:%M %z" in local time with ':' replaced by '_', e.g. "2026-12-06 09_05 +0100".
std::string batchFolderName(std::time_t when);

// A batch that reached the largest index its readers accept continues in another folder of the same
// minute: part 2 of "2026-12-06 09_05 +0100" is "2026-12-06 09_05 +0100 002". Listed by name, the parts
// follow their first folder and come before the next minute's. Part 1 is the batch name itself.
std::string continuedBatchFolderName(const std::string& batchName, unsigned part);
// The minute's batch name of a folder name: the name itself, without the " NNN" of a later part.
std::string batchNameOfFolder(const std::string& folderName);

// A fresh UUID in upper-case canonical text form (36 characters).
std::string newStoredItemName();

// Item keys of the added list: "%.0f_%s_%.0f" (folder: creation, name, modification) and
// "%llu_%s_%.0f" (anything else: size, name, modification), dates in seconds since 2001.
std::string itemKeyForFolder(double creationDate, const std::string& name, double modificationDate);
std::string itemKeyForFile(std::uint64_t size, const std::string& name, double modificationDate);
// The key of the entry `name` of an open folder, without following a final symbolic link. A folder's
// creation date is the file system's birth time when it records one, else 0. Nothing when unreadable.
std::optional<std::string> itemKeyAt(int dirFd, const std::string& name);

} // namespace bw
