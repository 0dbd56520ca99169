#pragma once
// A table of user-visible texts looked up by key, as every program's strings file keeps one. A key the
// table lacks shows the key itself, so a missing text is visible rather than blank.

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bw {

class StringsTable {
public:
    StringsTable(std::initializer_list<std::pair<const std::string, std::string>> texts);

    // The text of `key`, or the key itself when the table has none.
    std::string text(const std::string& key) const;
    // Every key the table holds, in order (for tests that check nothing shows a bare key).
    std::vector<std::string> keys() const;

private:
    std::map<std::string, std::string> m_texts;
};

} // namespace bw
