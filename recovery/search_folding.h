#pragma once
// Case- and accent-insensitive text comparison for the recovery search, done with ICU: "ecole" finds
// "École.pdf", "STRASSE" finds "Straße".

#include <string>
#include <string_view>

namespace bw {

// The text decomposed (NFD), without its combining marks, case-folded, as UTF-8. Bytes that are not
// UTF-8 (file names may hold any) become U+FFFD and match nothing but themselves.
std::string foldedForSearch(std::string_view text);

// Whether a folded text holds a folded needle (an empty needle is in every text).
inline bool foldedContains(std::string_view foldedText, std::string_view foldedNeedle) {
    return foldedText.find(foldedNeedle) != std::string_view::npos;
}

} // namespace bw
