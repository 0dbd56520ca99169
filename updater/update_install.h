#pragma once
// Installing a downloaded update archive over an install tree, without a toolkit: signature first,
// then unpacking beside the tree, then the old tree into the user's Trash and the new one in its place.

#include "update_signature.h"

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

namespace bw {

enum class InstallTreeState {
    Replaceable, // a folder `owner` owns, in a folder it may write: it can be updated
    NotOurs,     // another owner, or root (a system package): never touched, updated by its package
    Missing,
};
InstallTreeState installTreeState(const std::string& root, uid_t owner = getuid());

enum class InstallError {
    None,
    NotReplaceable,   // the tree is not the user's
    NoTrustedKey,     // this build trusts no key
    MissingSignature, // no "<archive>.sig" beside the archive
    BadSignature,     // the signature does not match the archive
    BadArchive,       // unreadable, or refused while unpacking
    NotAnInstallTree, // unpacked, but holds no bin/binwarden2-menu
    CannotTrash,      // the old tree could not be moved to the Trash
    CannotReplace,    // the new tree could not be moved into place (the old one was put back)
};

struct InstallOutcome {
    InstallError error = InstallError::None;
    std::string detail; // one line for the log and bw2ctl
    bool ok() const { return error == InstallError::None; }
};

struct InstallRequest {
    std::string archivePath; // the download; its signature is archivePath + ".sig"
    std::string root;        // the install tree to replace
    uid_t owner = getuid();  // whose tree it must be
    std::optional<UpdatePublicKey> key;
    // Runs once the new tree is unpacked and checked, just before the old one goes (tells every program
    // of the product to quit).
    std::function<void()> beforeReplace;
};

// Installs, and removes the archive and its signature whatever the outcome.
InstallOutcome installUpdateArchive(const InstallRequest& request);

} // namespace bw
