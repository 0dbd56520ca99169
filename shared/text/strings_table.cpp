#include "text/strings_table.h"

namespace bw {

StringsTable::StringsTable(std::initializer_list<std::pair<const std::string, std::string>> texts) : m_texts(texts) {}

std::string StringsTable::text(const std::string& key) const {
    const auto found = m_texts.find(key);
    return found == m_texts.end() ? key : found->second;
}

std::vector<std::string> StringsTable::keys() const {
    std::vector<std::string> keys;
    keys.reserve(m_texts.size());
    for (const auto& entry : m_texts)
        keys.push_back(entry.first);
    return keys;
}

} // namespace bw
