#include "settings_file.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace bw::test {

void writeSettingsFile(const std::string& path, const Settings& settings) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), kSettingsDictKey, settings.toPlist().release());
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &data, &length);
    ASSERT_NE(data, nullptr) << path;
    writeFile(path, std::string(data, length));
    free(data);
}

} // namespace bw::test
