#pragma once
// Case and accent folding with ICU, the one place where texts are compared "as a person reads them":
// "ecole" finds "École.pdf", "STRASSE" finds "Straße".

#include <string>
#include <string_view>

namespace bw {

// The text decomposed (NFD) without its combining marks, as UTF-8: "Événement" gives "Evenement".
// Letters with no decomposition (ø, ł, ß) and other scripts stay as they are.
std::string withoutDiacritics(std::string_view text);

// Full Unicode case folding, as UTF-8 ("Straße" gives "strasse").
std::string caseFolded(std::string_view text);

// Both of the above: what search compares. Bytes that are not UTF-8 become U+FFFD and match nothing
// but themselves.
std::string foldedForSearch(std::string_view text);

// Whether a folded text holds a folded needle (an empty needle is in every text).
inline bool foldedContains(std::string_view foldedText, std::string_view foldedNeedle) {
    return foldedText.find(foldedNeedle) != std::string_view::npos;
}

} // namespace bw
