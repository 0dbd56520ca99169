// bw2ctl settings: shows the settings file as the programs read it.

#include "command.h"

#include "plist/json_writer.h"
#include "settings/settings.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: bw2ctl settings show [--file PATH]\n"
                      "       bw2ctl settings path\n"
                      "\n"
                      "show   prints the settings file as JSON: the \"Binwarden Settings\" dictionary with every\n"
                      "       key (the defaults when the file or the dictionary is missing; a key missing from a\n"
                      "       stored dictionary shows as false, 0 or an empty list, as the programs read it),\n"
                      "       then \"BWS_filters\" and \"BWProtectionStatusOnStart\" when the file has them.\n"
                      "path   prints where the settings file is ($XDG_CONFIG_HOME, default ~/.config).\n";

const char* jsonBool(bool value) {
    return value ? "true" : "false";
}

std::string settingsJson(const bw::Settings& s) {
    std::string out = "{\n";
    auto member = [&out](const char* key, const std::string& value, bool last = false) {
        out += "    " + bw::jsonQuoted(key) + ": " + value + (last ? "\n" : ",\n");
    };
    member(bw::kUpdatesKey, jsonBool(s.updates));
    member(bw::kMenuKey, jsonBool(s.menu));
    member(bw::kPassKey, jsonBool(s.pass));
    member(bw::kShowNotesKey, jsonBool(s.showNotes));
    member(bw::kPercentKey, std::to_string(s.percent));
    member(bw::kDataActivationKey, jsonBool(s.dataActivation));
    member(bw::kNbDaysKey, std::to_string(s.nbDays));
    member(bw::kFileActivationKey, jsonBool(s.fileActivation));
    member(bw::kFileSizeKey, std::to_string(s.fileSize));
    member(bw::kDaemonModeKey, std::to_string(s.daemonMode));
    std::string volumes = "[";
    for (std::size_t i = 0; i < s.volumes.size(); ++i) {
        volumes += (i ? ",\n      {" : "\n      {") + bw::jsonQuoted(bw::kVolumePathKey) + ": " +
                   bw::jsonQuoted(s.volumes[i].path) + ", " + bw::jsonQuoted(bw::kVolumeProtectedKey) + ": " +
                   jsonBool(s.volumes[i].isProtected) + "}";
    }
    volumes += s.volumes.empty() ? "]" : "\n    ]";
    member(bw::kVolumesListKey, volumes, true);
    return out + "  }";
}

std::string filtersJson(const std::vector<bw::FilterEntry>& filters) {
    if (filters.empty())
        return "[]";
    std::string out = "[";
    for (std::size_t i = 0; i < filters.size(); ++i) {
        out += (i ? ",\n    {" : "\n    {") + bw::jsonQuoted(bw::kFilterTypeKey) + ": " +
               std::to_string(filters[i].type) + ", " + bw::jsonQuoted(bw::kFilterRuleKey) + ": " +
               bw::jsonQuoted(filters[i].rule) + "}";
    }
    return out + "\n  ]";
}

int showSettings(const std::string& path) {
    bw::PlistPtr root = bw::readSettingsFile(path);
    plist_t dict = root ? plist_dict_get_item(root.get(), bw::kSettingsDictKey) : nullptr;
    bool stored = dict && plist_get_node_type(dict) == PLIST_DICT;
    if (!root)
        std::fprintf(stderr, "bw2ctl settings: no readable settings file at %s; showing the defaults\n", path.c_str());
    else if (!stored)
        std::fprintf(stderr, "bw2ctl settings: %s holds no \"%s\" dictionary; showing the defaults\n", path.c_str(),
                     bw::kSettingsDictKey);
    bw::Settings settings = stored ? bw::Settings::fromPlist(dict) : bw::Settings::defaults();

    std::string out = "{\n  " + bw::jsonQuoted(bw::kSettingsDictKey) + ": " + settingsJson(settings);
    plist_t filters = root ? plist_dict_get_item(root.get(), bw::kFiltersKey) : nullptr;
    if (filters)
        out += ",\n  " + bw::jsonQuoted(bw::kFiltersKey) + ": " + filtersJson(bw::filtersFromPlist(filters));
    plist_t flag = root ? plist_dict_get_item(root.get(), bw::kProtectionStatusOnStartKey) : nullptr;
    if (flag)
        out += ",\n  " + bw::jsonQuoted(bw::kProtectionStatusOnStartKey) + ": " + jsonBool(bw::plistBoolValue(flag));
    out += "\n}\n";
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int runSettings(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string path = bw::settingsFilePath();
    if (args[0] == "path" && args.size() == 1) {
        if (path.empty()) {
            std::fprintf(stderr, "bw2ctl settings: no home folder to find the settings file in\n");
            return 1;
        }
        std::printf("%s\n", path.c_str());
        return 0;
    }
    if (args[0] == "show") {
        if (args.size() == 3 && args[1] == "--file")
            path = args[2];
        else if (args.size() != 1) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return showSettings(path);
    }
    std::fprintf(stderr, "bw2ctl settings: unknown sub-command '%s'\n", args[0].c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

} // namespace

BW2CTL_COMMAND("settings", "shows the settings file as JSON, with the defaults the programs apply", runSettings);
