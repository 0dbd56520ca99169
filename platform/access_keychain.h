#pragma once
// The access password's keychain item, kept by the desktop's Secret Service (libsecret): attributes
// service "Binwarden2" and account the short user name; the secret is the password's UTF-8 text followed
// by one zero byte.

#include <string>

namespace bw {

inline constexpr char kKeychainService[] = "Binwarden2";

enum class KeychainStatus {
    Found,    // the item exists; `password` holds its text
    NotFound, // the Secret Service answered that there is no such item
    Failed,   // the Secret Service could not be asked (none runs, locked and not unlocked, …)
};

struct KeychainLookup {
    KeychainStatus status = KeychainStatus::Failed;
    std::string password; // the stored bytes up to the first zero byte
    std::string error;    // why it failed
};

class AccessKeychain {
public:
    // For the given account; empty means the short name of the real user.
    explicit AccessKeychain(std::string account = {});

    KeychainLookup find() const;
    // Stores the password (replacing an item of the same service and account). False and `error` set when
    // the Secret Service refused or could not be reached.
    bool add(const std::string& password, std::string* error = nullptr) const;
    // Deletes the item. True when it is gone afterwards (also when there was none).
    bool remove(std::string* error = nullptr) const;

    const std::string& account() const { return m_account; }

private:
    std::string m_account;
};

// The real user's login name from the password database; the numeric id as text when it has none.
std::string shortUserName();

} // namespace bw
