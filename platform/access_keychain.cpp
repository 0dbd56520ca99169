#include "access_keychain.h"

#include <libsecret/secret.h>
#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace bw {

namespace {

// Items are found by their two attributes alone, whoever wrote them.
const SecretSchema* passwordSchema() {
    static const SecretSchema schema = {"org.binwarden2.AccessPassword",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
                                        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

struct ErrorOwner {
    GError* error = nullptr;
    ~ErrorOwner() {
        if (error)
            g_error_free(error);
    }
    std::string text() const { return error && error->message ? error->message : "unknown error"; }
};

struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};

} // namespace

std::string shortUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::to_string(getuid());
}

AccessKeychain::AccessKeychain(std::string account) : m_account(std::move(account)) {
    if (m_account.empty())
        m_account = shortUserName();
}

KeychainLookup AccessKeychain::find() const {
    KeychainLookup result;
    ErrorOwner error;
    std::unique_ptr<SecretValue, ValueUnref> value(secret_password_lookup_binary_sync(
        passwordSchema(), nullptr, &error.error, "service", kKeychainService, "account", m_account.c_str(), nullptr));
    if (error.error) {
        result.error = error.text();
        return result;
    }
    if (!value) {
        result.status = KeychainStatus::NotFound;
        return result;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    std::string stored(bytes ? bytes : "", bytes ? length : 0);
    // The stored text ends at its zero byte; an item written without one is taken whole.
    result.password = stored.substr(0, stored.find('\0'));
    result.status = KeychainStatus::Found;
    return result;
}

bool AccessKeychain::add(const std::string& password, std::string* error) const {
    std::string data = password;
    data.push_back('\0');
    std::unique_ptr<SecretValue, ValueUnref> value(
        secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
    ErrorOwner failure;
    gboolean stored = secret_password_store_binary_sync(passwordSchema(), SECRET_COLLECTION_DEFAULT, "Binwarden 2",
                                                        value.get(), nullptr, &failure.error, "service",
                                                        kKeychainService, "account", m_account.c_str(), nullptr);
    if (!stored && error)
        *error = failure.text();
    return stored;
}

bool AccessKeychain::remove(std::string* error) const {
    ErrorOwner failure;
    secret_password_clear_sync(passwordSchema(), nullptr, &failure.error, "service", kKeychainService, "account",
                               m_account.c_str(), nullptr);
    if (failure.error) {
        if (error)
            *error = failure.text();
        return false;
    }
    return true;
}

} // namespace bw
