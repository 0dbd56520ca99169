#include "item_selection.h"

#include <set>
#include <strings.h>

namespace bw {

namespace {

constexpr std::size_t kShortestIdPrefix = 4;

bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && ::strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

} // namespace

ItemSelection selectItems(const std::vector<RecoveryItem>& all, const std::vector<std::string>& words) {
    ItemSelection selection;
    std::set<std::string> chosen; // by path: the same item asked twice is taken once
    for (const std::string& word : words) {
        std::vector<const RecoveryItem*> matches;
        for (const RecoveryItem& item : all)
            if (item.storedName.size() == word.size() && startsWithIgnoringCase(item.storedName, word))
                matches.push_back(&item);
        if (matches.empty())
            for (const RecoveryItem& item : all)
                if (item.displayName == word)
                    matches.push_back(&item);
        if (matches.empty() && word.size() >= kShortestIdPrefix)
            for (const RecoveryItem& item : all)
                if (startsWithIgnoringCase(item.storedName, word))
                    matches.push_back(&item);
        if (matches.empty()) {
            selection.unmatched.push_back(word);
        } else if (matches.size() > 1) {
            ItemSelection::Ambiguity ambiguity{word, {}};
            for (const RecoveryItem* item : matches)
                ambiguity.ids.push_back(item->storedName);
            selection.ambiguous.push_back(std::move(ambiguity));
        } else if (chosen.insert(matches.front()->rawItemPath).second) {
            selection.items.push_back(*matches.front());
        }
    }
    return selection;
}

} // namespace bw
