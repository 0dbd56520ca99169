// English texts of the agent.

#include "agent_strings.h"

#include "text/strings_table.h"

namespace bw {

namespace {

const StringsTable& table() {
    static const StringsTable kTable = {
        {"200_Menu Start Protection", "Start Protection"},
        {"200_Menu Stop Protection", "Stop Protection"},
        {"200_Menu Open Binwarden", "Open Binwarden 2…"},
        {"200_Menu Open Settings", "Settings…"},
        {"200_Menu Quit", "Quit Binwarden 2 Menu"},
        {"200_Bytes Unit", " bytes"},
        {"200_Kilo Bytes Units", " KB"},
        {"200_Mega Bytes Units", " MB"},
        {"200_Giga Bytes Units", " GB"},
        {"200_Generic size information", "%@%@"},
        {"200_Cache Size Info Format", "Cache size: %@"},
        {"200_Cache Nb Disks Info Format", "Protected disks: %@"},
        {"200_Info in menu title", "Binwarden 2"},
        {"200_Cache Updated", "Items saved in the cache"},
        {"200_Cache Updated_1", "1 item saved in the cache"},
        {"200_Cache Updated_X", "%@ items saved in the cache"},
        {"200_Disk Full title", "The disk \"%@\" is full"},
        {"200_Disk Full Message",
         "Protection of the disk \"%@\" stopped because it lacks free space. Free some room on \"%@\" or lower "
         "the minimum free space in the settings, then start protection again."},
        {"200_Disk Full Message 2",
         "The disk \"%@\" has less free space than the minimum you set, and emptying its cache would not be "
         "enough to bring it back above that minimum."},
        {"200_Disk Full Message Details", "Disk size: %@ GB, free: %@ GB (%@%), cache: %@ MB."},
        {"200_Disk Full Understood Button", "OK"},
        {"200_Quit BinwardenMenu title", "Quit Binwarden 2 Menu?"},
        {"200_Quit BinwardenMenu Message",
         "Protection is on. Quitting stops it until the next login: what you throw away meanwhile is not kept."},
        {"200_Quit BinwardenMenu Cancel Button", "Keep Running"},
        {"200_Quit BinwardenMenu Quit Button", "Quit"},
        {"201_Too recent OS Alert title", "This system is newer than Binwarden 2 knows"},
        {"201_Too recent OS Alert message",
         "Binwarden 2 was not tried on this version of the system. It should work, but tell us if anything "
         "goes wrong."},
        {"201_Too recent OS Alert defaultButton", "OK"},
        // Why protection could not start: keys this edition adds (%@: the trash, the detail, the set-up command).
        {"202_Protection Problem title", "Protection could not start"},
        {"202_Protection your trashes", "your trashes"},
        {"202_Protection Launcher Not Set Up",
         "Protection of %@ could not start: the launcher is not set up%@. An administrator sets it up once "
         "with: %@"},
        {"202_Protection No Authorization Tool",
         "Protection of %@ could not start: the launcher needs administrator rights once%@, and there is no "
         "pkexec to ask for them. An administrator sets it up with: %@"},
        {"202_Protection Authorization Dismissed",
         "Protection of %@ did not start: the request for administrator rights was dismissed%@. Start "
         "protection again to be asked again, or have an administrator run: %@"},
        {"202_Protection Authorization Refused",
         "Protection of %@ did not start: administrator rights were refused%@. An administrator sets the "
         "launcher up with: %@"},
        {"202_Protection Repair Failed",
         "Protection of %@ could not start: the launcher's repair did not set it up%@. An administrator "
         "sets it up with: %@"},
        {"202_Protection Launcher Refused",
         "Protection of %@ did not start: the launcher refused to start its daemon%@. Its reason is in the "
         "system log (journalctl -t helper) and on the agent's standard error."},
        {"202_Protection No Bus",
         "Protection of %@ cannot work: no system bus answers%@. Start the D-Bus system bus, or start the "
         "product with make run, which brings a private one."},
    };
    return kTable;
}

} // namespace

std::string localizedString(const std::string& key) {
    return table().text(key);
}

std::vector<std::string> localizedStringKeys() {
    return table().keys();
}

std::string formatText(const std::string& format, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '@') {
                if (next < args.size())
                    out += args[next++];
                ++i;
                continue;
            }
            if (format[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

} // namespace bw
