#pragma once
// A real Secret Service for one test program: a private session bus and a gnome-keyring-daemon on it,
// its keyrings in a temporary folder, the login keyring created and unlocked with a test password. While
// it lives DBUS_SESSION_BUS_ADDRESS points at the private bus. Both daemons are stopped by their pids.
//
// GLib keeps one session-bus connection per process and ends the process when that bus goes away while
// its main loop runs, so a test program starts this once (as a gtest environment) and keeps it to the end.

#include <sys/types.h>

#include <string>

namespace bw::test {

class PrivateSecretService {
public:
    explicit PrivateSecretService(const std::string& unlockPassword = "test-keyring-password");
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    // Whether the keyring answers on the bus; when not, why.
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& address() const { return m_address; }

private:
    bool startBus();
    bool startKeyring(const std::string& password);
    bool secretsNameOwned() const;

    std::string m_dir;
    std::string m_address;
    pid_t m_busPid = -1;
    pid_t m_keyringPid = -1;
    bool m_ok = false;
    std::string m_error;
};

} // namespace bw::test
