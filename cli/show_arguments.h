#pragma once
// The arguments of the read-only "bw2ctl NAME show PATH" commands.

#include <cstdio>
#include <cstdlib>
#include <memory>
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

// The folder the user named, followed through symbolic links as any command's argument is (the library
// itself never follows a link); the text as given when it names nothing, so that the error names it.
inline std::string resolvedShowPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

} // namespace bw::cli
