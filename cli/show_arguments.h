#pragma once
// The arguments of the read-only "bw2ctl NAME show PATH" commands.

#include <cstdio>
#include <string>
#include <vector>

namespace bw::cli {

// What a "show PATH" command does with its arguments: go on (kShowPath, the path in args[1]) or stop
// with an exit status after printing its help: 0 for --help or -h, 2 for any other use.
constexpr int kShowPath = -1;

inline int checkShowArguments(const std::vector<std::string>& args, void (*printHelp)(FILE*)) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        printHelp(stdout);
        return 0;
    }
    if (args.size() != 2 || args[0] != "show") {
        printHelp(stderr);
        return 2;
    }
    return kShowPath;
}

} // namespace bw::cli
