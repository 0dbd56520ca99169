// The system bus policy the package installs: on a bus that refuses signals unless a policy allows them
// (as a locked-down system bus does), it lets through our one broadcast signal and nothing else.

#include "bus/notification_bus.h"
#include "private_bus.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bw::test::PrivateBus;
using bw::test::TempDir;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

std::string policyFile() {
    return bw::test::sourceDir() + "/packaging/dbus/org.binwarden2.conf";
}

// Signals refused by default (sending, receiving or both), then the package's file, which the system bus
// reads the same way (its system.d files come after the defaults and so take precedence).
std::string lockedDownConfig(const TempDir& dir, bool refuseSending = true, bool refuseReceiving = true) {
    std::string path = dir / "bus.conf";
    bw::test::writeFile(path, R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <)" + std::string(refuseSending ? "deny" : "allow") +
                                  R"( send_type="signal"/>
    <)" + std::string(refuseReceiving ? "deny" : "allow") +
                                  R"( receive_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <include>)" + policyFile() + R"(</include>
</busconfig>
)");
    return path;
}

BusPtr connect(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return nullptr;
    BusPtr bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}

// Sends one signal carrying `tag`; `destination` empty means a broadcast.
bool sendSignal(sd_bus* bus, const std::string& path, const std::string& interface, const std::string& member,
                const std::string& destination, const std::string& tag) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(bus, &raw, path.c_str(), interface.c_str(), member.c_str()) < 0)
        return false;
    MessagePtr message(raw);
    if (!destination.empty() && sd_bus_message_set_destination(raw, destination.c_str()) < 0)
        return false;
    if (sd_bus_message_append(raw, "s", tag.c_str()) < 0)
        return false;
    return sd_bus_send(bus, raw, nullptr) >= 0 && sd_bus_flush(bus) >= 0;
}

// The tags of every signal with a string argument that reaches `bus`, until `marker` arrives or ten seconds
// pass; nullopt when the marker never came.
std::optional<std::vector<std::string>> tagsUntil(sd_bus* bus, const std::string& marker) {
    std::vector<std::string> tags;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        sd_bus_message* raw = nullptr;
        int r = sd_bus_process(bus, &raw);
        if (r < 0)
            return std::nullopt;
        MessagePtr message(raw);
        if (message && sd_bus_message_is_signal(raw, nullptr, nullptr) > 0) {
            const char* tag = nullptr;
            if (sd_bus_message_read(raw, "s", &tag) > 0 && tag) {
                if (tag == marker)
                    return tags;
                tags.emplace_back(tag);
            }
        }
        if (r == 0)
            sd_bus_wait(bus, 100'000);
    }
    return std::nullopt;
}

// Each direction on its own: the policy must hold where only sending or only receiving is refused by default.
struct Defaults {
    const char* what;
    bool refuseSending;
    bool refuseReceiving;
};

void PrintTo(const Defaults& defaults, std::ostream* out) {
    *out << "signals refused by default: " << defaults.what;
}

class BusPolicy : public ::testing::TestWithParam<Defaults> {};

TEST_P(BusPolicy, OnlyOurBroadcastSignalPasses) {
    TempDir dir("bw2buspolicy");
    PrivateBus bus(lockedDownConfig(dir, GetParam().refuseSending, GetParam().refuseReceiving));
    ASSERT_TRUE(bus.ok());
    BusPtr receiver = connect(bus.address());
    BusPtr sender = connect(bus.address());
    ASSERT_TRUE(receiver && sender);
    ASSERT_GE(sd_bus_add_match(receiver.get(), nullptr, "type='signal'", nullptr, nullptr), 0);
    const char* receiverName = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(receiver.get(), &receiverName), 0);

    struct Case {
        const char* what;
        const char* path;
        const char* interface;
        const char* member;
        bool unicast;
        bool delivered;
        bool refusedOnlyWhenSending; // a receiver cannot tell a broadcast from a signal sent to it
    };
    const Case cases[] = {
        {"our signal", bw::kNotificationPath, bw::kNotificationInterface, bw::kNotificationMember, false, true, false},
        {"another interface", bw::kNotificationPath, "org.example.Other", bw::kNotificationMember, false, false, false},
        {"another member", bw::kNotificationPath, bw::kNotificationInterface, "Other", false, false, false},
        {"another path", "/org/example/Other", bw::kNotificationInterface, bw::kNotificationMember, false, false,
         false},
        {"our signal sent to one peer", bw::kNotificationPath, bw::kNotificationInterface, bw::kNotificationMember,
         true, false, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Messages of one sender arrive in order: once our own broadcast (the marker) is in, the signal
        // sent before it has either arrived or been refused.
        const std::string tag = std::string("case ") + c.what;
        const std::string marker = "marker " + std::to_string(++round);
        sendSignal(sender.get(), c.path, c.interface, c.member, c.unicast ? receiverName : "", tag);
        ASSERT_TRUE(sendSignal(sender.get(), bw::kNotificationPath, bw::kNotificationInterface, bw::kNotificationMember,
                               "", marker));
        auto tags = tagsUntil(receiver.get(), marker);
        ASSERT_TRUE(tags.has_value()) << "our own broadcast never arrived";
        const bool arrived = std::find(tags->begin(), tags->end(), tag) != tags->end();
        EXPECT_EQ(arrived, c.delivered || (c.refusedOnlyWhenSending && !GetParam().refuseSending));
    }
}

INSTANTIATE_TEST_SUITE_P(Defaults, BusPolicy,
                         ::testing::Values(Defaults{"both", true, true}, Defaults{"sending", true, false},
                                           Defaults{"receiving", false, true}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(BusPolicyNotifications, GoThroughBetweenProgramsUnderIt) {
    TempDir dir("bw2buspolicy");
    PrivateBus bus(lockedDownConfig(dir));
    ASSERT_TRUE(bus.ok());
    bw::NotificationBus receiver;
    bw::NotificationBus sender;
    std::vector<std::string> names;
    receiver.observeAll([&](const bw::Notification& n) { names.push_back(n.name); });
    ASSERT_TRUE(sender.tryPost("BWTestPolicyNotification", std::string("501"), nullptr, true));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (names.empty() && std::chrono::steady_clock::now() < deadline) {
        receiver.process();
        if (names.empty() && receiver.fd() >= 0) {
            pollfd p{receiver.fd(), short(receiver.events()), 0};
            poll(&p, 1, 100);
        }
    }
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "BWTestPolicyNotification");
}

} // namespace
