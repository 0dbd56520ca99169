#include "search_folding.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <vector>

namespace bw {

std::string foldedForSearch(std::string_view text) {
    // Most names are plain ASCII, which needs no tables: lower case is its folding.
    bool ascii = true;
    for (const char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return out;
    }

    UErrorCode status = U_ZERO_ERROR;
    std::vector<UChar> utf16(text.size() + 1);
    int32_t length = 0;
    u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status))
        return std::string(text);

    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    std::vector<UChar> decomposed(static_cast<std::size_t>(length) * 4 + 8);
    int32_t decomposedLength = unorm2_normalize(nfd, utf16.data(), length, decomposed.data(),
                                                static_cast<int32_t>(decomposed.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
        decomposed.resize(static_cast<std::size_t>(decomposedLength) + 1);
        decomposedLength = unorm2_normalize(nfd, utf16.data(), length, decomposed.data(),
                                            static_cast<int32_t>(decomposed.size()), &status);
    }
    if (U_FAILURE(status))
        return std::string(text);

    // The accents of a decomposed text are its non-spacing marks.
    std::vector<UChar> bare;
    bare.reserve(static_cast<std::size_t>(decomposedLength));
    for (int32_t i = 0; i < decomposedLength;) {
        UChar32 c;
        const int32_t start = i;
        U16_NEXT(decomposed.data(), i, decomposedLength, c);
        if (u_charType(c) == U_NON_SPACING_MARK)
            continue;
        bare.insert(bare.end(), decomposed.begin() + start, decomposed.begin() + i);
    }

    std::vector<UChar> folded(bare.size() * 3 + 8);
    int32_t foldedLength = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), bare.data(),
                                         static_cast<int32_t>(bare.size()), U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status))
        return std::string(text);

    std::string out(static_cast<std::size_t>(foldedLength) * 3 + 1, '\0');
    int32_t outLength = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, folded.data(), foldedLength, &status);
    if (U_FAILURE(status))
        return std::string(text);
    out.resize(static_cast<std::size_t>(outLength));
    return out;
}

} // namespace bw
