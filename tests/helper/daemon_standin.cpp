// Stands in for bw2daemon in the launcher tests: writes what the launcher handed it (ids, name,
// arguments, environment, open descriptors, umask) to "report" next to its own file, then exits.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

extern char** environ;

namespace {

std::string statusLine(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return line;
    return {};
}

} // namespace

int main(int argc, char** argv) {
    std::ostringstream report;
    report << statusLine("Uid") << "\n" << statusLine("Gid") << "\n";
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    report << "comm:" << comm << "\n";
    mode_t mask = ::umask(0);
    report << "umask:" << std::oct << mask << std::dec << "\n";
    for (int i = 0; i < argc; ++i)
        report << "arg:" << argv[i] << "\n";
    for (char** e = environ; *e; ++e)
        report << "env:" << *e << "\n";
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        int own = ::dirfd(dir);
        while (struct dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
                report << "fd:" << entry->d_name << "\n";
        ::closedir(dir);
    }

    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    std::string folder(self, static_cast<size_t>(n));
    folder.resize(folder.rfind('/'));
    {
        std::ofstream out(folder + "/report.tmp", std::ios::trunc);
        out << report.str();
    }
    std::rename((folder + "/report.tmp").c_str(), (folder + "/report").c_str());
    return 0;
}
