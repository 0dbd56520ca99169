#include "text/kor_string_utils.h"

#include "plist/reference_time.h"
#include "text/string_utils_strings.h"
#include "text/text_folding.h"
#include "text/utf16.h"
#include "files/log_line.h"
#include "files/mount_table.h"

#include <unicode/uchar.h>
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/utf8.h>
#include <unicode/utrans.h>

#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

namespace bw {

namespace {

struct DateFormatCloser {
    void operator()(UDateFormat* format) const { udat_close(format); }
};
struct NumberFormatCloser {
    void operator()(UNumberFormat* format) const { unum_close(format); }
};
struct TransliteratorCloser {
    void operator()(UTransliterator* trans) const { utrans_close(trans); }
};
using DateFormatPtr = std::unique_ptr<UDateFormat, DateFormatCloser>;
using NumberFormatPtr = std::unique_ptr<UNumberFormat, NumberFormatCloser>;

// The chosen locale and zone; a new choice bumps the generation so each thread remakes its formatters.
struct LocaleChoice {
    std::mutex mutex;
    std::string locale, timeZone;
    std::atomic<unsigned> generation{1};
};
LocaleChoice& localeChoice() {
    static LocaleChoice choice;
    return choice;
}

enum class NumberKind { Plain, Grouped, Currency, Fixed };

// ICU formatters may not be used by two threads at once, so each thread keeps its own.
struct Formatters {
    unsigned generation = 0;
    std::string locale;
    std::u16string timeZone;
    std::map<int, DateFormatPtr> dates;
    std::map<NumberKind, NumberFormatPtr> numbers;
};

Formatters& formatters() {
    thread_local Formatters cache;
    LocaleChoice& choice = localeChoice();
    const unsigned generation = choice.generation.load();
    if (cache.generation != generation) {
        cache.dates.clear();
        cache.numbers.clear();
        std::lock_guard lock(choice.mutex);
        cache.locale = choice.locale;
        cache.timeZone = text::toUtf16(choice.timeZone);
        cache.generation = generation;
    }
    return cache;
}

const char* icuLocale(const Formatters& cache) {
    return cache.locale.empty() ? nullptr : cache.locale.c_str();
}

UDateFormatStyle icuStyle(KOR_StringUtils::Style style) {
    switch (style) {
    case KOR_StringUtils::Style::Short:
        return UDAT_SHORT;
    case KOR_StringUtils::Style::Medium:
        return UDAT_MEDIUM;
    case KOR_StringUtils::Style::Long:
        return UDAT_LONG;
    case KOR_StringUtils::Style::None:
        break;
    }
    return UDAT_NONE;
}

UDateFormat* dateFormat(KOR_StringUtils::Style dateStyle, KOR_StringUtils::Style timeStyle) {
    if (dateStyle == KOR_StringUtils::Style::None && timeStyle == KOR_StringUtils::Style::None)
        return nullptr;
    Formatters& cache = formatters();
    const int key = static_cast<int>(dateStyle) * 4 + static_cast<int>(timeStyle);
    auto found = cache.dates.find(key);
    if (found != cache.dates.end())
        return found->second.get();
    UErrorCode status = U_ZERO_ERROR;
    DateFormatPtr format(udat_open(icuStyle(timeStyle), icuStyle(dateStyle), icuLocale(cache),
                                   cache.timeZone.empty() ? nullptr : cache.timeZone.data(),
                                   static_cast<int32_t>(cache.timeZone.size()), nullptr, 0, &status));
    if (U_FAILURE(status) || !format) {
        bw::logLine(LOG_ERR, "KOR_StringUtils dateFormat error: %s", u_errorName(status));
        return nullptr;
    }
    return cache.dates.emplace(key, std::move(format)).first->second.get();
}

UNumberFormat* numberFormat(NumberKind kind) {
    Formatters& cache = formatters();
    auto found = cache.numbers.find(kind);
    if (found != cache.numbers.end())
        return found->second.get();
    UErrorCode status = U_ZERO_ERROR;
    NumberFormatPtr format(unum_open(kind == NumberKind::Currency ? UNUM_CURRENCY : UNUM_DECIMAL, nullptr, 0,
                                     icuLocale(cache), nullptr, &status));
    if (U_FAILURE(status) || !format) {
        bw::logLine(LOG_ERR, "KOR_StringUtils numberFormat error: %s", u_errorName(status));
        return nullptr;
    }
    if (kind == NumberKind::Plain || kind == NumberKind::Fixed)
        unum_setAttribute(format.get(), UNUM_GROUPING_USED, 0);
    return cache.numbers.emplace(kind, std::move(format)).first->second.get();
}

// Runs an ICU call that writes UTF-16 into a buffer, growing the buffer once when it is too small.
template <typename Write> std::string icuText(Write write) {
    std::u16string buffer(64, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = write(buffer.data(), static_cast<int32_t>(buffer.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
        buffer.assign(static_cast<std::size_t>(length) + 1, u'\0');
        length = write(buffer.data(), static_cast<int32_t>(buffer.size()), &status);
    }
    if (U_FAILURE(status))
        return {};
    buffer.resize(static_cast<std::size_t>(length));
    return text::toUtf8(buffer);
}

std::string formatNumber(NumberKind kind, double value) {
    UNumberFormat* format = numberFormat(kind);
    if (!format)
        return {};
    return icuText([&](UChar* out, int32_t capacity, UErrorCode* status) {
        return unum_formatDouble(format, value, out, capacity, nullptr, status);
    });
}

// A number with exactly `decimals` decimals and no grouping, in the locale's digits and separator.
std::string fixedNumber(double value, int decimals) {
    UNumberFormat* format = numberFormat(NumberKind::Fixed);
    if (!format)
        return {};
    unum_setAttribute(format, UNUM_MIN_FRACTION_DIGITS, decimals);
    unum_setAttribute(format, UNUM_MAX_FRACTION_DIGITS, decimals);
    return icuText([&](UChar* out, int32_t capacity, UErrorCode* status) {
        return unum_formatDouble(format, value, out, capacity, nullptr, status);
    });
}

// Fills a size text of the table: its one number conversion ("%d", "%u", "%lu", "%.Nf", a width
// allowed and ignored) receives the value; "%%" is a percent sign; anything else stays as written, so a
// faulty translation can never read past its argument.
std::string fillSizeFormat(const std::string& format, double value) {
    std::string out;
    bool filled = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t at = i + 1;
        while (at < format.size() && std::isdigit(static_cast<unsigned char>(format[at])))
            ++at;
        int decimals = 6;
        if (at < format.size() && format[at] == '.') {
            decimals = 0;
            for (++at; at < format.size() && std::isdigit(static_cast<unsigned char>(format[at])); ++at)
                decimals = std::min(decimals * 10 + (format[at] - '0'), 9);
        }
        while (at < format.size() && format[at] == 'l')
            ++at;
        const char conversion = at < format.size() ? format[at] : '\0';
        if (filled || (conversion != 'd' && conversion != 'u' && conversion != 'f')) {
            out += '%';
            continue;
        }
        out += conversion == 'f' ? fixedNumber(value, decimals) : fixedNumber(std::trunc(value), 0);
        filled = true;
        i = at;
    }
    return out;
}

std::string sizeText(const char* key, double value) {
    return fillSizeFormat(stringUtilsString(key), value);
}

std::uint64_t magnitude(std::int64_t value) {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

std::string withSign(std::int64_t value, std::string text) {
    return value < 0 ? "-" + text : text;
}

std::string twoDigits(std::uint64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

std::vector<std::string> splitTerms(std::string_view terms, std::string_view separator) {
    std::vector<std::string> out;
    if (separator.empty()) {
        out.emplace_back(terms);
        return out;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = terms.find(separator, start);
        out.emplace_back(terms.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos)
            return out;
        start = at + separator.size();
    }
}

bool termsFound(const std::vector<std::string>& terms, std::string_view text, bool allParts, bool noAccent) {
    if (text.empty() || terms.empty())
        return false;
    const std::string folded = caseFolded(noAccent ? KOR_StringUtils::stringNoAccent(text) : std::string(text));
    for (const std::string& term : terms) {
        const std::string needle = caseFolded(noAccent ? KOR_StringUtils::stringNoAccent(term) : term);
        // An empty term is never found, and never missing.
        if (needle.empty())
            continue;
        const bool found = folded.find(needle) != std::string::npos;
        if (found && !allParts)
            return true;
        if (!found && allParts)
            return false;
    }
    return allParts;
}

// Letters without a decomposition that still have an ASCII form (ø, ł, ß, æ); other characters are left
// for the caller to drop.
UTransliterator* latinToAscii() {
    thread_local std::unique_ptr<UTransliterator, TransliteratorCloser> trans;
    thread_local bool tried = false;
    if (!tried) {
        tried = true;
        const std::u16string id = u"[:Letter:] Latin-ASCII";
        UErrorCode status = U_ZERO_ERROR;
        trans.reset(
            utrans_openU(id.data(), static_cast<int32_t>(id.size()), UTRANS_FORWARD, nullptr, 0, nullptr, &status));
        if (U_FAILURE(status)) {
            bw::logLine(LOG_ERR, "KOR_StringUtils stringNoAccent error: %s", u_errorName(status));
            trans.reset();
        }
    }
    return trans.get();
}

// A UTF-8 text as code points with the byte offset each starts at; invalid bytes read as U+FFFD.
struct CodePoint {
    UChar32 folded;
    std::size_t offset;
};
std::vector<CodePoint> simplyFolded(std::string_view text) {
    std::vector<CodePoint> out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const auto start = static_cast<std::size_t>(i);
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        out.push_back({u_foldCase(c < 0 ? 0xFFFD : c, U_FOLD_CASE_DEFAULT), start});
    }
    return out;
}

} // namespace

void KOR_StringUtils::useLocale(const std::string& locale, const std::string& timeZone) {
    LocaleChoice& choice = localeChoice();
    std::lock_guard lock(choice.mutex);
    choice.locale = locale;
    choice.timeZone = timeZone;
    ++choice.generation;
}

bool KOR_StringUtils::isTigerOrMore() {
    return true;
}

double KOR_StringUtils::getKBValue() {
    return 1000.0;
}

std::string KOR_StringUtils::getSizeBytes(std::int64_t bytes) {
    const double k = getKBValue();
    const std::uint64_t a = magnitude(bytes);
    const auto value = static_cast<double>(a);
    std::string text;
    if (a <= 1)
        text = sizeText("StringUtils_%d Byte", value);
    else if (value < k)
        text = sizeText("StringUtils_%d Bytes", value);
    else if (value < k * k)
        text = sizeText("StringUtils_%d KB", value / k);
    else if (value < k * k * k)
        text = sizeText("StringUtils_%d MB", value / (k * k));
    else
        text = sizeText("StringUtils_%d GB", value / (k * k * k));
    return withSign(bytes, text);
}

std::string KOR_StringUtils::getShortSizeBytes(std::int64_t bytes) {
    const double k = getKBValue();
    const std::uint64_t a = magnitude(bytes);
    const auto value = static_cast<double>(a);
    std::string text;
    if (a <= 1) {
        text = sizeText("StringUtils_%d Byte", value);
    } else if (value < k) {
        text = sizeText("StringUtils_%d Bytes", value);
    } else if (value < k * k) {
        text = sizeText("StringUtils_%d KB", value / k);
    } else {
        const double megabytes = (value + k * k / 2) / (k * k);
        if (megabytes < k) {
            text = fixedNumber(std::trunc(megabytes), 0) + " " + stringUtilsString("StringUtils_MB");
        } else {
            const double gigabytes = (megabytes + 0.5) / k;
            text = (megabytes < 9.95 * k ? fixedNumber(gigabytes, 1) : fixedNumber(std::trunc(gigabytes), 0)) + " " +
                   stringUtilsString("StringUtils_GB");
        }
    }
    return withSign(bytes, text);
}

std::string KOR_StringUtils::getIntSizeBytes(std::int64_t bytes) {
    static const char* const kUnits[] = {"StringUtils_KB", "StringUtils_MB", "StringUtils_GB", "StringUtils_TB"};
    const double k = getKBValue();
    auto value = static_cast<double>(magnitude(bytes));
    int unit = -1;
    if (value > k) {
        value /= k;
        unit = 0;
        while (unit < 3 && value >= k) {
            value /= k;
            ++unit;
        }
    }
    std::string text = unit >= 0 && value < 10 ? fixedNumber(value, 1) : fixedNumber(std::trunc(value), 0);
    if (unit >= 0)
        text += stringUtilsString(kUnits[unit]);
    return withSign(bytes, text);
}

std::string KOR_StringUtils::getDuration(std::int64_t seconds) {
    const std::uint64_t a = magnitude(seconds);
    const std::uint64_t hours = a / 3600, minutes = (a / 60) % 60, rest = a % 60;
    const std::string text = a >= 3600 ? std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(rest)
                                       : std::to_string(minutes) + ":" + twoDigits(rest);
    return withSign(seconds, text);
}

std::string KOR_StringUtils::formatDate(double date, Style dateStyle, Style timeStyle) {
    UDateFormat* format = dateFormat(dateStyle, timeStyle);
    if (!format || !std::isfinite(date))
        return {};
    const UDate when = unixFromReferenceTime(date) * 1000.0;
    return icuText([&](UChar* out, int32_t capacity, UErrorCode* status) {
        return udat_format(format, when, out, capacity, nullptr, status);
    });
}

std::optional<double> KOR_StringUtils::parseDate(std::string_view text, Style dateStyle, Style timeStyle) {
    UDateFormat* format = dateFormat(dateStyle, timeStyle);
    const std::u16string utf16 = text::toUtf16(text);
    if (!format || utf16.empty())
        return std::nullopt;
    int32_t position = 0;
    UErrorCode status = U_ZERO_ERROR;
    const UDate when = udat_parse(format, utf16.data(), static_cast<int32_t>(utf16.size()), &position, &status);
    // The whole text must be the date, trailing white space aside.
    while (position < static_cast<int32_t>(utf16.size()) && u_isUWhiteSpace(utf16[static_cast<std::size_t>(position)]))
        ++position;
    if (U_FAILURE(status) || position != static_cast<int32_t>(utf16.size()))
        return std::nullopt;
    return referenceTimeFromUnix(when / 1000.0);
}

std::string KOR_StringUtils::getDate(double date) {
    return formatDate(date, Style::Long, Style::Long);
}
std::string KOR_StringUtils::getShortDate(double date) {
    return formatDate(date, Style::Short, Style::None);
}
std::string KOR_StringUtils::getShortTime(double date) {
    return formatDate(date, Style::None, Style::Short);
}
std::string KOR_StringUtils::getMediumDate(double date) {
    return formatDate(date, Style::Medium, Style::None);
}
std::string KOR_StringUtils::getMediumTime(double date) {
    return formatDate(date, Style::None, Style::Medium);
}
std::string KOR_StringUtils::getLongDate(double date) {
    return formatDate(date, Style::Long, Style::None);
}
std::string KOR_StringUtils::getLongTime(double date) {
    return formatDate(date, Style::None, Style::Long);
}

std::string KOR_StringUtils::getShortTimeDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Short, Style::Short) : "?";
}
std::string KOR_StringUtils::getShortTimeSecondsDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Short, Style::Medium) : "?";
}
std::string KOR_StringUtils::getMediumTimeDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Medium, Style::Medium) : "?";
}
std::string KOR_StringUtils::getMediumTimeSecondsDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Medium, Style::Medium) : "?";
}
std::string KOR_StringUtils::getLongTimeDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Long, Style::Medium) : "?";
}
std::string KOR_StringUtils::getLongTimeSecondsDate(std::optional<double> date) {
    return date ? formatDate(*date, Style::Long, Style::Medium) : "?";
}
std::optional<double> KOR_StringUtils::getShortTimeSecondsDateFromString(std::string_view text) {
    return parseDate(text, Style::Short, Style::Medium);
}
std::optional<double> KOR_StringUtils::getMediumTimeSecondsDateFromString(std::string_view text) {
    return parseDate(text, Style::Medium, Style::Medium);
}
std::optional<double> KOR_StringUtils::getLongTimeSecondsDateFromString(std::string_view text) {
    return parseDate(text, Style::Long, Style::Medium);
}

std::string KOR_StringUtils::getNumberWithThousandsSeparator(std::int64_t number) {
    UNumberFormat* format = numberFormat(NumberKind::Grouped);
    if (!format)
        return {};
    return icuText([&](UChar* out, int32_t capacity, UErrorCode* status) {
        return unum_formatInt64(format, number, out, capacity, nullptr, status);
    });
}
std::string KOR_StringUtils::getStringFromNumber(double number) {
    return formatNumber(NumberKind::Plain, number);
}
std::string KOR_StringUtils::getStringFromNumberWithThousandsSeparator(double number) {
    return formatNumber(NumberKind::Grouped, number);
}
std::string KOR_StringUtils::getStringForCurrency(double number) {
    return formatNumber(NumberKind::Currency, number);
}

std::string KOR_StringUtils::stringNoAccent(std::string_view text) {
    std::u16string utf16 = text::toUtf16(withoutDiacritics(text));
    if (UTransliterator* trans = latinToAscii()) {
        std::u16string buffer = utf16;
        buffer.resize(utf16.size() * 4 + 16);
        auto length = static_cast<int32_t>(utf16.size());
        int32_t limit = length;
        UErrorCode status = U_ZERO_ERROR;
        utrans_transUChars(trans, buffer.data(), &length, static_cast<int32_t>(buffer.size()), 0, &limit, &status);
        if (U_SUCCESS(status)) {
            buffer.resize(static_cast<std::size_t>(length));
            utf16 = std::move(buffer);
        }
    }
    std::string out;
    out.reserve(utf16.size());
    for (const char16_t c : utf16)
        if (c < 0x80)
            out += static_cast<char>(c);
    return out;
}

bool KOR_StringUtils::searchString(std::string_view terms, std::string_view text, bool allParts) {
    return searchString(terms, text, ",", allParts);
}
bool KOR_StringUtils::searchString(std::string_view terms, std::string_view text, std::string_view separator,
                                   bool allParts) {
    return termsFound(splitTerms(terms, separator), text, allParts, false);
}
bool KOR_StringUtils::searchStrings(const std::vector<std::string>& terms, std::string_view text, bool allParts) {
    return termsFound(terms, text, allParts, false);
}
bool KOR_StringUtils::searchStringNoAccent(std::string_view terms, std::string_view text, bool allParts) {
    return searchStringNoAccent(terms, text, ",", allParts);
}
bool KOR_StringUtils::searchStringNoAccent(std::string_view terms, std::string_view text, std::string_view separator,
                                           bool allParts) {
    return termsFound(splitTerms(stringNoAccent(terms), separator), text, allParts, true);
}
bool KOR_StringUtils::searchStringsNoAccent(const std::vector<std::string>& terms, std::string_view text,
                                            bool allParts) {
    return termsFound(terms, text, allParts, true);
}

std::string KOR_StringUtils::replaceInString(std::string_view text, std::string_view oldString,
                                             std::string_view newString) {
    const std::vector<CodePoint> haystack = simplyFolded(text);
    const std::vector<CodePoint> needle = simplyFolded(oldString);
    if (needle.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t copiedUpTo = 0; // bytes of `text` already in `out`
    std::size_t i = 0;
    while (i + needle.size() <= haystack.size()) {
        std::size_t matched = 0;
        while (matched < needle.size() && haystack[i + matched].folded == needle[matched].folded)
            ++matched;
        if (matched < needle.size()) {
            ++i;
            continue;
        }
        const std::size_t start = haystack[i].offset;
        const std::size_t end = i + matched < haystack.size() ? haystack[i + matched].offset : text.size();
        out.append(text.substr(copiedUpTo, start - copiedUpTo));
        out.append(newString);
        copiedUpTo = end;
        i += matched;
    }
    out.append(text.substr(copiedUpTo));
    return out;
}

std::string KOR_StringUtils::localizedNameAtPath(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos || trimmed == "/" ? trimmed : trimmed.substr(slash + 1);
}

std::string KOR_StringUtils::localizedPath(const std::string& path) {
    return path;
}

std::string KOR_StringUtils::volumeNameAtPath(const std::string& path) {
    if (path.empty())
        return {};
    auto mount = mountForPath(path, readMountTable());
    if (mount && mount->mountPoint != "/")
        return localizedNameAtPath(mount->mountPoint);
    return volumeDisplayName("/");
}

} // namespace bw
