// bw2ctl: looks inside caches, settings and the notification bus.

#include "command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bw::cli {

std::vector<Command>& commandRegistry() {
    static std::vector<Command> registry;
    return registry;
}

} // namespace bw::cli

static void printUsage(FILE* out) {
    auto commands = bw::cli::commandRegistry();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::fprintf(out, "usage: bw2ctl COMMAND [ARGS…]\n\ncommands:\n");
    for (const auto& command : commands)
        std::fprintf(out, "  %-10s %s\n", command.name.c_str(), command.summary.c_str());
    std::fprintf(out, "\n'bw2ctl COMMAND --help' tells more.\n\n"
                      "example: bw2ctl restore --all --from . --since 2h --dry-run\n");
}

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        printUsage(stdout);
        return 0;
    }
    for (const auto& command : bw::cli::commandRegistry()) {
        if (command.name == argv[1])
            return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "bw2ctl: unknown command '%s'\n", argv[1]);
    printUsage(stderr);
    return 2;
}
