#include "text/text_folding.h"

#include "text/utf16.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf16.h>

namespace bw {

namespace {

bool isAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

std::string asciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::u16string bareOf(const std::u16string& utf16) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    if (U_FAILURE(status))
        return utf16;
    std::u16string decomposed(utf16.size() * 4 + 8, u'\0');
    int32_t length = unorm2_normalize(nfd, utf16.data(), static_cast<int32_t>(utf16.size()), decomposed.data(),
                                      static_cast<int32_t>(decomposed.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
        decomposed.assign(static_cast<std::size_t>(length) + 1, u'\0');
        length = unorm2_normalize(nfd, utf16.data(), static_cast<int32_t>(utf16.size()), decomposed.data(),
                                  static_cast<int32_t>(decomposed.size()), &status);
    }
    if (U_FAILURE(status))
        return utf16;

    // The accents of a decomposed text are its non-spacing marks.
    std::u16string bare;
    bare.reserve(static_cast<std::size_t>(length));
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        const int32_t start = i;
        U16_NEXT(decomposed.data(), i, length, c);
        if (u_charType(c) != U_NON_SPACING_MARK)
            bare.append(decomposed, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
    }
    return bare;
}

std::u16string foldedOf(const std::u16string& utf16) {
    UErrorCode status = U_ZERO_ERROR;
    std::u16string folded(utf16.size() * 3 + 8, u'\0');
    const int32_t length = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), utf16.data(),
                                         static_cast<int32_t>(utf16.size()), U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status))
        return utf16;
    folded.resize(static_cast<std::size_t>(length));
    return folded;
}

} // namespace

std::string withoutDiacritics(std::string_view text) {
    if (isAscii(text))
        return std::string(text);
    return text::toUtf8(bareOf(text::toUtf16(text)));
}

std::string caseFolded(std::string_view text) {
    // Most texts are plain ASCII, which needs no tables: lower case is its folding.
    if (isAscii(text))
        return asciiLowered(text);
    return text::toUtf8(foldedOf(text::toUtf16(text)));
}

std::string foldedForSearch(std::string_view text) {
    if (isAscii(text))
        return asciiLowered(text);
    return text::toUtf8(foldedOf(bareOf(text::toUtf16(text))));
}

} // namespace bw
