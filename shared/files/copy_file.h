#pragma once
// The file engine: copies items (files, links, folder trees) with their owner, mode, times to the
// nanosecond, extended attributes and access lists; compares and deletes items; sets and clears access
// lists and the locked (immutable) flag. Everything works relative to folder descriptors and never
// follows a symbolic link, because the daemon runs it as root inside folders that its user controls.
//
// Data goes with a reflink where the file system can (FICLONE), else with copy_file_range region by
// region (SEEK_DATA/SEEK_HOLE), so that a sparse file stays sparse. A copy is written under a temporary
// name and takes its final name only when complete.

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

// Data is copied in chunks of this size; pause, interrupt and the space check are looked at before each.
inline constexpr long kCopyChunkBytes = 8L << 20;

class KOR_CopyFile {
public:
    // Result codes of the copy, compare and delete operations.
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
        kDiffers = 9,      // sizes or contents differ
        kDatesDiffer = 20,
        kPermissionsDiffer = 21, // owner, group or mode differ
    };

    // ---- Access control lists (class operations; files/access_list.h does them) ----

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

    // Gives the destination the source's access lists (a folder's default list too), or clears the
    // destination's when the source has none. Items other than files and folders have no list: true.
    static bool copyACLFromItem(const std::string& source, const std::string& destination);

    // The name under which a copy is written before it takes its final name.
    static const char* getKOREVTemporaryFile() { return "KOREVTemporaryFile1247853912Zx"; }

    // ---- Locked flag, owner and ids (class operations) ----

    // The locked flag is the file system's immutable flag; file systems without flags are never locked.
    static bool isObjectLocked(const std::string& path);
    // 0, or 1 (missing), 3 (flags unreadable) or 7 (cannot be set; setting it needs root).
    static int modifyObjectLocked(const std::string& path, bool locked);
    // The ids new items get when permissions are not copied: the real user and group of the process.
    static void setCurrentUserGroupTo(uid_t& owner, gid_t& group);
    // With the flag set, folders made by any engine get read, write and search rights for their owner.
    static void setFoldersReadWrite(bool readWrite);
    // Times (modification and access, to the nanosecond), extended attributes and, with permissions,
    // owner, group, mode and access lists from one item to another of the same kind; 0, 1 or 7.
    static int copyAttributes(const std::string& source, const std::string& destination);
    static int copyAttributesAndPermissions(const std::string& source, const std::string& destination,
                                            bool copyPermissions);

    // ---- Copy ----

    KOR_CopyFile() = default;
    KOR_CopyFile(const KOR_CopyFile&) = delete;
    KOR_CopyFile& operator=(const KOR_CopyFile&) = delete;

    // Copies the item at `source` (a file, a link copied as a link, or a whole folder tree) into the
    // folder `destinationParent` under its own name. A missing destination folder is made first after
    // the source's folder chain. An item of that name already there is replaced (hasReplacedFile); when
    // the volume is too full for both, it goes first. A locked destination folder is unlocked for the
    // duration; a locked source gives a locked copy (when the process may lock). Result: 0, 1, 2, 3, 4,
    // 5, 6 or 8; on failure nothing is left behind.
    int copyFile(const std::string& source, const std::string& destinationParent, bool copyPermissions);

    // Copies the entry `srcName` of the folder `srcDirFd` into the folder `dstDirFd` under the temporary
    // name, and renames it to `destName` only once it is complete, so that `destName` never names a
    // partial copy. An item already named `destName` is replaced (hasReplacedFile). Owner and group are
    // kept when copyPermissions is set and the process may set them, else the copy is the current user's;
    // set-id bits and capabilities are never copied. Sockets and devices inside a folder are left out
    // with one log line each; on their own they give 4. On failure nothing is left behind and `error`
    // (when given) holds the system's text of the first error.
    int copyItemAt(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName,
                   bool copyPermissions = true, std::string* error = nullptr);

    // Re-creates the missing folders of `destinationFolder`, the deepest of them after the folders
    // holding `source`, its parent after theirs, and so on. 0; 4 when a folder cannot be made, or when a
    // file stands where a folder must go.
    int copyFolderHierarchy(const std::string& source, const std::string& destinationFolder, bool copyPermissions);
    // Makes the folder `destinationParent`/<name of sourceFolder> with the source folder's attributes
    // (and access lists when permissions are copied); 0, 1 or 4.
    int createFolder(const std::string& sourceFolder, const std::string& destinationParent, bool copyPermissions);
    // Re-creates a link with the same target in `destinationParent`, replacing an item of that name; 0, 1 or 4.
    int copySymbolicLink(const std::string& source, const std::string& destinationParent);
    // Checks a finished copy in `destinationParent`: 1 when the source or the copy is missing, 9 when
    // their sizes differ, 21 when the copy's owner is not the source's (with permissions) or not the
    // current user (without); else 0.
    int verifyCopyFile(const std::string& source, const std::string& destinationParent, bool copyPermissions);
    // The source's last path component.
    static std::string getDestFileNameFromSource(const std::string& source);

    // ---- Compare ----

    // 0 when both items are alike: 1 when one cannot be read, 8 when interrupted, 9 when kinds, sizes,
    // contents, link targets or folder entries differ; then with checkDate 20 when modification times
    // differ (to the nanosecond), with checkPermissions 21 when owner, group or mode differ. Folders are
    // compared with everything inside them.
    int compareFile(const std::string& source, const std::string& destination, bool checkDate, bool checkPermissions);

    // ---- Delete, rename, dates and owners ----

    // Removes an item and everything in it, never following links; a locked item is unlocked first and a
    // locked parent is unlocked for the duration. 0, 1 when it cannot be reached, 5 when it stays.
    int deleteObject(const std::string& path);
    // Removes everything inside a folder; 0, 1 or 5.
    int deleteFolderContents(const std::string& path);
    // Gives an item a new name in its folder, unlocking and locking it again around the rename; 0, 1 or 6.
    int renameFile(const std::string& path, const std::string& newName);
    // Sets the modification and access times (seconds since the epoch, nanoseconds kept); 0, 1 or 7.
    int modifyObjectDate(const std::string& path, const struct timespec& date);
    // Sets owner and group without following a link; 0, 1 or 7.
    int modifyObjectOwner(const std::string& path, uid_t owner, gid_t group);

    // ---- Progress and control; another thread may read the progress and set pause or interrupt ----

    std::int64_t getTotalSize() const { return mFileTotalSize; }
    std::int64_t getAlreadyDoneSize() const { return mAlreadyDoneSize; }
    std::int64_t getNbFiles() const { return mNbFiles; }
    bool hasReplacedFile() const { return mReplaceFile; }
    std::string getFileName() const { return mFileName; }
    void setPause(bool pause) { mPause = pause; }
    void setMustInterrupt() { mMustInterrupt = true; }
    // Called on the working thread after every chunk of data copied or compared.
    void setDelegate(std::function<void(const KOR_CopyFile&)> delegate) { mDelegate = std::move(delegate); }
    // Asked before every chunk of data with the descriptor being written; false stops the copy as out of
    // space (kNoSpace). The daemon stops there when the volume's free space falls below its limit.
    void setSpaceCheck(std::function<bool(int dstFd)> check) { mSpaceCheck = std::move(check); }

private:
    int copyInto(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName);
    int copyEntry(int srcDirFd, const char* srcName, int dstDirFd, const char* dstName, int depth);
    int copyRegularFile(int srcFd, const struct stat& st, int dstDirFd, const char* dstName);
    int copyFolder(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd, const char* dstName,
                   int depth);
    int copyLink(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd, const char* dstName);
    void setOwnerModeAndTimesAt(int dstDirFd, const char* dstName, const struct stat& st);
    int copyData(int srcFd, int dstFd, off_t size);
    int copyRange(int srcFd, int dstFd, off_t start, off_t end, bool& useRange, std::vector<char>& buffer,
                  off_t& reached);
    void copyAttributes(int srcFd, int dstFd, const struct stat& st);
    int compareAt(int aDirFd, const char* aName, int bDirFd, const char* bName, bool checkDate,
                  bool checkPermissions, int depth);
    int compareData(int aFd, int bFd, off_t size);
    bool waitWhilePaused();
    void progress();
    // Keeps `err` (errno as the failing call left it) when it is the first failure; answers `code`.
    int fail(int code, int err);

    std::atomic<std::int64_t> mFileTotalSize{0};
    std::atomic<std::int64_t> mAlreadyDoneSize{0};
    std::atomic<std::int64_t> mNbFiles{0};
    std::atomic<bool> mPause{false};
    std::atomic<bool> mMustInterrupt{false};
    std::atomic<bool> mReplaceFile{false};
    std::function<void(const KOR_CopyFile&)> mDelegate;
    std::function<bool(int)> mSpaceCheck;
    bool mCopyPermissions = true;
    std::string mFileName;
    int mFirstError = 0; // the first failure's negative errno
};

} // namespace bw
