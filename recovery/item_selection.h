#pragma once
// Picking listed items by what a person types: an id (the stored name, or its first characters) or the
// name the item had in the trash.

#include "recovery_item.h"

#include <string>
#include <vector>

namespace bw {

struct ItemSelection {
    std::vector<RecoveryItem> items; // each matched item once, in the order asked
    std::vector<std::string> unmatched;
    // A word that fits several items, with their ids: refused rather than guessed.
    struct Ambiguity {
        std::string word;
        std::vector<std::string> ids;
    };
    std::vector<Ambiguity> ambiguous;
    bool complete() const { return unmatched.empty() && ambiguous.empty(); }
};

// Matches each word, in this order: a whole id (any case), an exact name, the beginning of an id
// (at least 4 characters, any case).
ItemSelection selectItems(const std::vector<RecoveryItem>& all, const std::vector<std::string>& words);

} // namespace bw
