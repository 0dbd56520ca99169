#pragma once
// bw2ctl commands. Each command lives in its own cmd_*.cpp file and registers itself with
// BW2CTL_COMMAND, so that adding a command touches no other file.

#include <functional>
#include <string>
#include <vector>

namespace bw::cli {

// args excludes "bw2ctl" and the command word itself. Returns the exit status.
using CommandFunction = std::function<int(const std::vector<std::string>& args)>;

struct Command {
    std::string name;    // "index", "settings", "notify", …
    std::string summary; // one line for `bw2ctl --help`
    CommandFunction run;
};

std::vector<Command>& commandRegistry();

struct CommandRegistrar {
    explicit CommandRegistrar(Command command) { commandRegistry().push_back(std::move(command)); }
};

} // namespace bw::cli

#define BW2CTL_CONCAT2(a, b) a##b
#define BW2CTL_CONCAT(a, b) BW2CTL_CONCAT2(a, b)
#define BW2CTL_COMMAND(name, summary, function)                                                                        \
    static const ::bw::cli::CommandRegistrar BW2CTL_CONCAT(bw2ctlRegistrar, __LINE__)({name, summary, function})
