#pragma once
// Update archives for the tests: .tar.gz files with exactly the entries asked for, hostile ones included,
// and their signatures.

#include "update_signature.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bw::test {

struct ArchiveEntry {
    enum Type { File, Folder, Symlink, HardLink, CharDevice, Fifo } type = File;
    std::string path;
    std::string content; // File
    std::string target;  // Symlink, HardLink
    unsigned mode = 0644;
    std::uint64_t zeros = 0; // File: this many zero bytes instead of content
};

inline ArchiveEntry fileEntry(const std::string& path, const std::string& content, unsigned mode = 0644) {
    return {ArchiveEntry::File, path, content, "", mode, 0};
}
inline ArchiveEntry zerosEntry(const std::string& path, std::uint64_t zeros) {
    return {ArchiveEntry::File, path, "", "", 0644, zeros};
}
inline ArchiveEntry folderEntry(const std::string& path, unsigned mode = 0755) {
    return {ArchiveEntry::Folder, path, "", "", mode, 0};
}
inline ArchiveEntry linkEntry(ArchiveEntry::Type type, const std::string& path, const std::string& target) {
    return {type, path, "", target, 0777, 0};
}
inline ArchiveEntry specialEntry(ArchiveEntry::Type type, const std::string& path) {
    return {type, path, "", "", 0666, 0};
}

// Writes the archive; fails the test when libarchive refuses.
void writeArchive(const std::string& path, const std::vector<ArchiveEntry>& entries);
// A small install tree: bin/binwarden2-menu, bin/binwarden2, libexec/binwarden2/helper, a link.
std::vector<ArchiveEntry> installTreeEntries(const std::string& version);
// Writes path + ".sig".
void signArchive(const std::string& path, const UpdateSecretKey& key);

// The uid test install trees are given: the caller's, or an arbitrary other one when the tests run as
// root (root's own trees are never replaced).
uid_t treeOwner();
// Gives the tree and everything in it to `owner` (only when running as root).
void chownTree(const std::string& root, uid_t owner);

} // namespace bw::test
