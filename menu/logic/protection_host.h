#pragma once
// What the program that runs protection control gives it of its own: its bus for requests and its
// on-screen look. The agent's controller is the real one.

#include "protection_problem.h"

#include <string>

namespace bw {

class ProtectionHost {
public:
    virtual ~ProtectionHost() = default;

    // Posts a request with the user id text as object, delivered immediately.
    virtual void post(const std::string& name, const std::string& object) = 0;
    // Whether the system bus answers.
    virtual bool busConnected() = 0;
    // The on/off look of the status item and the start/stop title (may be called from a worker thread).
    virtual void showProtection(bool on) = 0;
    // Why protection could not start, for the user (may be called from any thread).
    virtual void reportProblem(const ProtectionProblemReport& report) = 0;

protected:
    ProtectionHost() = default;
    ProtectionHost(const ProtectionHost&) = default;
    ProtectionHost& operator=(const ProtectionHost&) = default;
};

} // namespace bw
