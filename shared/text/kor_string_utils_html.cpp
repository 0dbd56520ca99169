// Text ↔ HTML of the display-formatting utilities.

#include "text/kor_string_utils.h"

#include <unicode/utf8.h>

#include <cctype>
#include <string_view>
#include <unordered_map>

namespace bw {

namespace {

struct NamedReference {
    UChar32 codePoint;
    const char* name;
};

// Accented Latin letters and symbols written with their HTML 4 names.
constexpr NamedReference kNamed[] = {
    {0xE9, "eacute"}, {0xC9, "Eacute"},   {0xE8, "egrave"},  {0xC8, "Egrave"}, {0xEA, "ecirc"},  {0xCA, "Ecirc"},
    {0xEB, "euml"},   {0xCB, "Euml"},     {0xE1, "aacute"},  {0xC1, "Aacute"}, {0xE0, "agrave"}, {0xC0, "Agrave"},
    {0xE2, "acirc"},  {0xC2, "Acirc"},    {0xE4, "auml"},    {0xC4, "Auml"},   {0xE5, "aring"},  {0xC5, "Aring"},
    {0xED, "iacute"}, {0xCD, "Iacute"},   {0xEF, "iuml"},    {0xCF, "Iuml"},   {0xEE, "icirc"},  {0xCE, "Icirc"},
    {0xF3, "oacute"}, {0xD3, "Oacute"},   {0xF2, "ograve"},  {0xD2, "Ograve"}, {0xF4, "ocirc"},  {0xD4, "Ocirc"},
    {0xF6, "ouml"},   {0xD6, "Ouml"},     {0xF5, "otilde"},  {0xD5, "Otilde"}, {0xF8, "oslash"}, {0xD8, "Oslash"},
    {0xFA, "uacute"}, {0xDA, "Uacute"},   {0xF9, "ugrave"},  {0xD9, "Ugrave"}, {0xFB, "ucirc"},  {0xDB, "Ucirc"},
    {0xFC, "uuml"},   {0xDC, "Uuml"},     {0xFD, "yacute"},  {0xDD, "Yacute"}, {0xC6, "AElig"},  {0xE6, "aelig"},
    {0xE7, "ccedil"}, {0xC7, "Ccedil"},   {0x20AC, "euro"},  {0xA3, "pound"},  {0xAB, "laquo"},  {0xBB, "raquo"},
    {0x2022, "bull"}, {0x2020, "dagger"}, {0xA9, "copy"},    {0xAE, "reg"},    {0xB0, "deg"},    {0xB5, "micro"},
    {0xB7, "middot"}, {0x2013, "ndash"},  {0x2014, "mdash"}, {0xA1, "iexcl"},  {0xBF, "iquest"}, {0xE3, "atilde"},
    {0xC3, "Atilde"}, {0xAA, "ordf"},     {0xF0, "eth"},     {0xD0, "ETH"},    {0xEC, "igrave"}, {0xCC, "Igrave"},
    {0xF1, "ntilde"}, {0xD1, "Ntilde"},   {0xBA, "ordm"},    {0x153, "oelig"}, {0x152, "OElig"}, {0xFF, "yuml"},
    {0xFE, "thorn"},  {0xDE, "THORN"},
};

// Letters and signs with no HTML 4 name (or, for Š, š and Ÿ, one older readers miss): written as
// decimal references.
constexpr UChar32 kNumbered[] = {
    0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x10C, 0x10D, 0x10E, 0x10F, 0x112,  0x113,
    0x118, 0x119, 0x11E, 0x11F, 0x122, 0x123, 0x12A, 0x12B, 0x130, 0x131, 0x136, 0x137, 0x139,  0x13A,
    0x13B, 0x13C, 0x13D, 0x13E, 0x141, 0x142, 0x143, 0x144, 0x145, 0x146, 0x147, 0x148, 0x2116, 0x150,
    0x151, 0x154, 0x155, 0x156, 0x157, 0x15A, 0x15B, 0x15E, 0x15F, 0x160, 0x161, 0x162, 0x163,  0x164,
    0x165, 0x16A, 0x16B, 0x170, 0x171, 0x178, 0x179, 0x17A, 0x17B, 0x17C, 0x17D, 0x17E,
};

const std::unordered_map<UChar32, std::string>& referenceByCodePoint() {
    static const auto* table = [] {
        auto* out =
            new std::unordered_map<UChar32, std::string>{{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
        for (const NamedReference& entry : kNamed)
            out->emplace(entry.codePoint, std::string("&") + entry.name + ";");
        for (const UChar32 c : kNumbered)
            out->emplace(c, "&#" + std::to_string(c) + ";");
        return out;
    }();
    return *table;
}

const std::unordered_map<std::string_view, UChar32>& codePointByName() {
    static const auto* table = [] {
        auto* out = new std::unordered_map<std::string_view, UChar32>{
            {"amp", '&'},   {"lt", '<'},       {"gt", '>'},       {"quot", '"'},  {"apos", '\''},
            {"nbsp", 0xA0}, {"Scaron", 0x160}, {"scaron", 0x161}, {"Yuml", 0x178}};
        for (const NamedReference& entry : kNamed)
            out->emplace(entry.name, entry.codePoint);
        return out;
    }();
    return *table;
}

void appendCodePoint(std::string& out, UChar32 c) {
    if (c <= 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    uint8_t bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
}

// Decodes the character reference at html[at] ('&'); answers how many bytes it took, 0 when it is none.
std::size_t decodeReference(std::string_view html, std::size_t at, std::string& out) {
    const std::size_t semicolon = html.find(';', at);
    if (semicolon == std::string_view::npos || semicolon - at > 12 || semicolon == at + 1)
        return 0;
    const std::string_view body = html.substr(at + 1, semicolon - at - 1);
    if (body[0] == '#') {
        const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
        const std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty())
            return 0;
        long value = 0;
        for (const char d : digits) {
            if (!(hex ? std::isxdigit(static_cast<unsigned char>(d)) : std::isdigit(static_cast<unsigned char>(d))))
                return 0;
            value = value * (hex ? 16 : 10) +
                    (std::isdigit(static_cast<unsigned char>(d)) ? d - '0' : (d | 0x20) - 'a' + 10);
            if (value > 0x10FFFF)
                value = 0x110000;
        }
        appendCodePoint(out, static_cast<UChar32>(value));
        return semicolon - at + 1;
    }
    const auto found = codePointByName().find(body);
    if (found == codePointByName().end())
        return 0;
    appendCodePoint(out, found->second);
    return semicolon - at + 1;
}

bool isHtmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool startsBlock(std::string_view name) {
    static constexpr std::string_view kBlocks[] = {"p",  "div", "li", "tr", "h1", "h2",    "h3",
                                                   "h4", "h5",  "h6", "ul", "ol", "table", "blockquote"};
    for (const std::string_view block : kBlocks)
        if (name == block)
            return true;
    return false;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::string KOR_StringUtils::textToHTML(std::string_view text) {
    const auto& references = referenceByCodePoint();
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        const auto found = c < 0 ? references.end() : references.find(c);
        if (found != references.end())
            out += found->second;
        else
            out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
    return out;
}

std::string KOR_StringUtils::HTMLtoText(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    bool pendingSpace = false;
    auto lineBreak = [&] {
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        out += '\n';
        pendingSpace = false;
    };
    for (std::size_t i = 0; i < html.size();) {
        const char c = html[i];
        if (c == '<' && html.compare(i, 4, "<!--") == 0) {
            const std::size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        if (c == '<' && i + 1 < html.size() &&
            (std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/' || html[i + 1] == '!')) {
            const std::size_t end = html.find('>', i);
            if (end != std::string_view::npos) {
                std::size_t nameStart = i + 1 + (html[i + 1] == '/' ? 1 : 0);
                std::size_t nameEnd = nameStart;
                while (nameEnd < end && std::isalnum(static_cast<unsigned char>(html[nameEnd])))
                    ++nameEnd;
                const std::string name = lowered(html.substr(nameStart, nameEnd - nameStart));
                i = end + 1;
                if (name == "br") {
                    lineBreak();
                } else if (startsBlock(name)) {
                    if (!out.empty() && out.back() != '\n')
                        lineBreak();
                } else if ((name == "script" || name == "style") && html[nameStart - 1] != '/') {
                    // Their content is never shown.
                    const std::size_t close = lowered(html.substr(i)).find("</" + name);
                    i = close == std::string::npos ? html.size() : i + close;
                }
                continue;
            }
        }
        if (isHtmlSpace(c)) {
            pendingSpace = !out.empty() && out.back() != '\n';
            ++i;
            continue;
        }
        if (pendingSpace) {
            out += ' ';
            pendingSpace = false;
        }
        if (c == '&') {
            const std::size_t used = decodeReference(html, i, out);
            if (used > 0) {
                i += used;
                continue;
            }
        }
        out += c;
        ++i;
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

} // namespace bw
