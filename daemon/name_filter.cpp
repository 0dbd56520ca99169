#include "name_filter.h"

#include "files/no_follow.h"
#include "files/utf8.h"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <cctype>

namespace bw {

namespace {

// Case folding for the filters: names are UTF-8, compared without regard to case.
locale_t utf8Locale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

std::u32string foldedCase(const std::string& text) {
    std::u32string out;
    out.reserve(text.size());
    locale_t locale = utf8Locale();
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        char32_t cp = 0;
        const std::size_t length = utf8SequenceAt(text, i, cp);
        const bool valid = length > 0;
        if (!valid) {
            // A byte that is not UTF-8 stands for itself, out of the range of real characters.
            out.push_back(0x110000u + c);
            ++i;
            continue;
        }
        if (locale)
            cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
        else if (cp < 0x80)
            cp = static_cast<char32_t>(std::tolower(static_cast<int>(cp)));
        out.push_back(cp);
        i += length;
    }
    return out;
}

// The extension is what follows the last "." of the name, unless that dot starts the name.
void splitExtension(const std::string& name, std::string& base, std::string& extension) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        base = name;
        extension.clear();
    } else {
        base = name.substr(0, dot);
        extension = name.substr(dot + 1);
    }
}

} // namespace

bool NameFilter::isFiltered(const std::string& name) const {
    if (m_filters.empty())
        return false;
    std::string base, extension;
    splitExtension(name, base, extension);
    std::u32string foldedBase, foldedExtension;
    bool folded = false;
    for (const FilterEntry& filter : m_filters) {
        if (filter.type != 1 && filter.type != 2)
            continue;
        if (!folded) {
            foldedBase = foldedCase(base);
            foldedExtension = foldedCase(extension);
            folded = true;
        }
        std::u32string rule = foldedCase(filter.rule);
        if (filter.type == 1) {
            if (!rule.empty() && foldedBase.find(rule) != std::u32string::npos)
                return true;
        } else if (foldedExtension == rule) {
            return true;
        }
    }
    return false;
}

bool NameFilter::isTooLarge(std::uint64_t bytes) const {
    return m_sizeLimitMB >= 1 && static_cast<std::int64_t>(bytes / 1000000u) > m_sizeLimitMB;
}

bool NameFilter::isTooLargeAt(int dirFd, const char* name, unsigned char type) const {
    if (m_sizeLimitMB < 1 || type == DT_DIR || type == DT_LNK)
        return false;
    struct stat st;
    return lstatAt(dirFd, name, st) && S_ISREG(st.st_mode) && isTooLarge(static_cast<std::uint64_t>(st.st_size));
}

} // namespace bw
