#pragma once
// Access control lists of files and folders: finding them, clearing them to what the mode implies,
// and giving a copy the lists of its source. Links carry no list of their own and are never followed.

#include <string>

namespace bw {

// Replaces the item's access list by the minimal one its mode implies and drops a folder's default
// list; with clearFolderContents, does the same to everything inside a folder (one failure makes the
// result false, the other entries are still cleared). A symbolic link has no list and is never
// followed: it answers true. A list that survives goes to clearACLWithTool.
bool clearACL(const std::string& path, bool clearFolderContents);
bool clearACLAt(int dirFd, const char* name, bool clearFolderContents);
// The same for exactly the item behind a descriptor (O_PATH|O_NOFOLLOW is enough), without recursion.
bool clearACLOfItem(int itemFd, const char* name);

// Hands the item to the external tool "kortool_acl1" (looked for next to this program, then in the
// folder above) run as the real user with an empty environment; true when it exits with status 0.
// The tool is not shipped, so without it the answer is false.
bool clearACLWithTool(const std::string& path, bool clearFolderContents);

// Whether a regular file or folder carries an access list beyond its mode (links, devices and
// missing items: false).
bool fileHasACL(const std::string& path);
bool fileHasACLAt(int dirFd, const char* name);

// Gives the destination the source's access lists (a folder's default list too), or clears the
// destination's when the source has none. Items other than files and folders have no list: true.
bool copyACLFromItem(const std::string& source, const std::string& destination);

} // namespace bw
