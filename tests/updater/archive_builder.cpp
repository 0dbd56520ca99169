#include "archive_builder.h"

#include "files/unique_fd.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

namespace bw::test {

void writeArchive(const std::string& path, const std::vector<ArchiveEntry>& entries) {
    std::unique_ptr<struct archive, int (*)(struct archive*)> writer(archive_write_new(), archive_write_free);
    archive_write_add_filter_gzip(writer.get());
    archive_write_set_options(writer.get(), "gzip:compression-level=1");
    archive_write_set_format_pax_restricted(writer.get());
    ASSERT_EQ(archive_write_open_filename(writer.get(), path.c_str()), ARCHIVE_OK);
    std::vector<char> zeros(1 << 20, 0);
    for (const auto& e : entries) {
        std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)> entry(archive_entry_new(),
                                                                                     archive_entry_free);
        archive_entry_set_pathname(entry.get(), e.path.c_str());
        archive_entry_set_perm(entry.get(), e.mode);
        switch (e.type) {
        case ArchiveEntry::File:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.zeros ? e.zeros : e.content.size()));
            break;
        case ArchiveEntry::Folder:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            break;
        case ArchiveEntry::Symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), e.target.c_str());
            break;
        case ArchiveEntry::HardLink:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_hardlink(entry.get(), e.target.c_str());
            break;
        case ArchiveEntry::CharDevice:
            archive_entry_set_filetype(entry.get(), AE_IFCHR);
            archive_entry_set_rdev(entry.get(), makedev(1, 3));
            break;
        case ArchiveEntry::Fifo:
            archive_entry_set_filetype(entry.get(), AE_IFIFO);
            break;
        }
        ASSERT_EQ(archive_write_header(writer.get(), entry.get()), ARCHIVE_OK) << e.path;
        if (e.type == ArchiveEntry::File) {
            if (e.zeros) {
                for (std::uint64_t left = e.zeros; left > 0;) {
                    size_t n = static_cast<size_t>(std::min<std::uint64_t>(left, zeros.size()));
                    ASSERT_EQ(archive_write_data(writer.get(), zeros.data(), n), static_cast<la_ssize_t>(n));
                    left -= n;
                }
            } else if (!e.content.empty()) {
                archive_write_data(writer.get(), e.content.data(), e.content.size());
            }
        }
    }
    ASSERT_EQ(archive_write_close(writer.get()), ARCHIVE_OK);
}

std::vector<ArchiveEntry> installTreeEntries(const std::string& version) {
    return {
        folderEntry("./"),
        folderEntry("./bin"),
        fileEntry("./bin/binwarden2-menu", "#!/bin/sh\necho menu " + version + "\n", 0755),
        fileEntry("./bin/binwarden2", "#!/bin/sh\necho app " + version + "\n", 0755),
        fileEntry("./libexec/binwarden2/helper", "helper " + version, 0755),
        linkEntry(ArchiveEntry::Symlink, "./bin/bw2-helper", "../libexec/binwarden2/helper"),
        linkEntry(ArchiveEntry::HardLink, "./bin/binwarden2-again", "./bin/binwarden2"),
    };
}

void signArchive(const std::string& path, const UpdateSecretKey& key) {
    UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(in.valid());
    auto signature = signFileContent(in.get(), key);
    ASSERT_TRUE(signature);
    UniqueFd out(open((path + ".sig").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(out.valid());
    ASSERT_EQ(write(out.get(), signature->data(), signature->size()), static_cast<ssize_t>(signature->size()));
}

uid_t treeOwner() {
    return getuid() == 0 ? 4242 : getuid();
}

void chownTree(const std::string& root, uid_t owner) {
    if (getuid() != 0)
        return;
    ASSERT_EQ(lchown(root.c_str(), owner, owner), 0);
    for (auto& entry : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(lchown(entry.path().c_str(), owner, owner), 0);
}

} // namespace bw::test
