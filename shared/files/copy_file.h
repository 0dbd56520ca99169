#pragma once
// The file engine: copies items (files, links, folder trees) with their owner, mode, times, extended
// attributes and access lists, and clears access lists. Everything works relative to folder
// descriptors and never follows a symbolic link, because the daemon runs it as root inside folders
// that its user controls.

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

// Data is copied in chunks of this size, and free space is checked before each one.
inline constexpr long kCopyChunkBytes = 8L << 20;

class KOR_CopyFile {
public:
    // Result codes of the copy operations.
    enum Result : int {
        kSuccess = 0,
        kUnreachable = 1,  // the source or the destination cannot be reached
        kNoSpace = 2,      // not enough free space on the destination volume
        kCatalogInfo = 3,  // the source's attributes cannot be read
        kCopyFailed = 4,   // the copy failed, a folder or a link could not be made
        kDeleteFailed = 5, // a deletion failed
        kRenameFailed = 6, // the finished copy cannot take its final name
        kAttributes = 7,   // attributes cannot be set
        kInterrupted = 8,  // interrupted
    };

    // ---- Access control lists (class operations) ----

    // Replaces the item's access list by the minimal one its mode implies and drops a folder's default
    // list; with clearFolderContents, does the same to everything inside a folder (one failure makes the
    // result false, the other entries are still cleared). A symbolic link has no list and is never
    // followed: it answers true. A list that survives goes to clearACLWithTool.
    static bool clearACL(const std::string& path, bool clearFolderContents);
    static bool clearACLAt(int dirFd, const char* name, bool clearFolderContents);
    // The same for exactly the item behind a descriptor (O_PATH|O_NOFOLLOW is enough), without recursion.
    static bool clearACLOfItem(int itemFd, const char* name);

    // Hands the item to the external tool "kortool_acl1" (looked for next to this program, then in the
    // folder above) run as the real user with an empty environment; true when it exits with status 0.
    // The tool is not shipped, so without it the answer is false.
    static bool clearACLWithTool(const std::string& path, bool clearFolderContents);

    // Whether a regular file or folder carries an access list beyond its mode (links, devices and
    // missing items: false).
    static bool fileHasACL(const std::string& path);
    static bool fileHasACLAt(int dirFd, const char* name);

    // The name under which a copy is written before it takes its final name.
    static const char* getKOREVTemporaryFile() { return "KOREVTemporaryFile1247853912Zx"; }

    // ---- Copy ----

    KOR_CopyFile() = default;

    // Copies the entry `srcName` of the folder `srcDirFd` (a file, a symbolic link copied as a link, or
    // a whole folder tree) into the folder `dstDirFd` under the temporary name, and renames it to
    // `destName` only once it is complete, so that `destName` never names a partial copy. An item
    // already named `destName` is replaced (hasReplacedFile). Owner and group are kept when
    // copyPermissions is set and the process may set them; set-id bits are never copied. On failure
    // nothing is left behind and `error` (when given) holds the system's text of the first error.
    int copyItemAt(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName,
                   bool copyPermissions = true, std::string* error = nullptr);

    // Progress and control; another thread may read the progress and set pause or interrupt.
    std::int64_t getTotalSize() const { return mFileTotalSize; }
    std::int64_t getAlreadyDoneSize() const { return mAlreadyDoneSize; }
    std::int64_t getNbFiles() const { return mNbFiles; }
    bool hasReplacedFile() const { return mReplaceFile; }
    const std::string& getFileName() const { return mFileName; }
    void setPause(bool pause) { mPause = pause; }
    // Asked before every chunk of data with the descriptor being written; false stops the copy as out of
    // space (kNoSpace). The daemon stops there when the volume's free space falls below its limit.
    void setSpaceCheck(std::function<bool(int dstFd)> check) { mSpaceCheck = std::move(check); }
    void setMustInterrupt() { mMustInterrupt = true; }

private:
    // Replaces the access list of the item reached by `path` and drops a folder's default list.
    static bool removeListsOf(const std::string& path, const struct stat& st, const char* name);
    int copyEntry(int srcDirFd, const char* srcName, int dstDirFd, const char* dstName, int depth);
    int copyRegularFile(int srcFd, const struct stat& st, int dstDirFd, const char* dstName);
    int copyFolder(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd, const char* dstName,
                   int depth);
    int copySymbolicLink(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd, const char* dstName);
    int copyData(int srcFd, int dstFd);
    int copyRange(int srcFd, int dstFd, off_t start, off_t end, bool& useRange, std::vector<char>& buffer,
                  off_t& reached);
    void copyAttributes(int srcFd, int dstFd, const struct stat& st);
    bool waitWhilePaused();
    int fail(int code, int err);

    std::atomic<std::int64_t> mFileTotalSize{0};
    std::atomic<std::int64_t> mAlreadyDoneSize{0};
    std::atomic<std::int64_t> mNbFiles{0};
    std::atomic<bool> mPause{false};
    std::atomic<bool> mMustInterrupt{false};
    std::function<bool(int)> mSpaceCheck;
    bool mReplaceFile = false;
    bool mCopyPermissions = true;
    std::string mFileName;
    int mFirstErrno = 0;
};

} // namespace bw
