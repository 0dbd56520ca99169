#pragma once
// Texts for display: byte sizes with units, dates and durations, numbers with separators, in the
// user's locale through ICU; accent-insensitive search, case-insensitive replacement, text ↔ HTML.
// Class operations only. Formatters are made on first use and kept, one set per thread, so any thread
// may call. The daemon uses the same class (it needs none of the medium and long date forms).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

class KOR_StringUtils {
public:
    // The locale ("de_DE", "fr_FR" …) and time zone ("Europe/Paris", "UTC") the texts are written in;
    // empty means the user's own, from the environment (LC_ALL, LC_MESSAGES, LANG; TZ). Made formatters
    // are dropped.
    static void useLocale(const std::string& locale, const std::string& timeZone = {});

    // A current system: dates follow the locale's styles, and a kilobyte is 1000 bytes.
    static bool isTigerOrMore();
    static double getKBValue();

    // ---- Sizes (a negative count gets "-" in front) ----
    // One unit, with the decimals of the unit's text: "1 byte", "999 bytes", "1.5 KB", "2.00 GB".
    static std::string getSizeBytes(std::int64_t bytes);
    // Compact: whole megabytes, gigabytes with one decimal below 9.95 GB: "12 MB", "1.5 GB".
    static std::string getShortSizeBytes(std::int64_t bytes);
    // At most one decimal, the unit appended directly: "999", "1.5KB", "15KB", "2.3TB".
    static std::string getIntSizeBytes(std::int64_t bytes);

    // "1:02:05" from one hour up, else "1:05"; a negative duration gets "-" in front.
    static std::string getDuration(std::int64_t seconds);

    // ---- Dates (seconds since 1 January 2001 UTC) ----
    enum class Style { None, Short, Medium, Long };
    // The date in the locale's given date and time styles; empty when ICU cannot write it.
    static std::string formatDate(double date, Style dateStyle, Style timeStyle);
    // The text read back with the same styles; nothing when it is not such a date.
    static std::optional<double> parseDate(std::string_view text, Style dateStyle, Style timeStyle);

    static std::string getDate(double date);       // long date, long time
    static std::string getShortDate(double date);  // short date
    static std::string getShortTime(double date);  // short time
    static std::string getMediumDate(double date); // medium date
    static std::string getMediumTime(double date); // medium time
    static std::string getLongDate(double date);   // long date
    static std::string getLongTime(double date);   // long time
    // "?" when no date is given.
    static std::string getShortTimeDate(std::optional<double> date);         // short, short
    static std::string getShortTimeSecondsDate(std::optional<double> date);  // short, medium
    static std::string getMediumTimeDate(std::optional<double> date);        // medium, medium
    static std::string getMediumTimeSecondsDate(std::optional<double> date); // medium, medium
    static std::string getLongTimeDate(std::optional<double> date);          // long, medium
    static std::string getLongTimeSecondsDate(std::optional<double> date);   // long, medium
    static std::optional<double> getShortTimeSecondsDateFromString(std::string_view text);
    static std::optional<double> getMediumTimeSecondsDateFromString(std::string_view text);
    static std::optional<double> getLongTimeSecondsDateFromString(std::string_view text);

    // ---- Numbers ----
    static std::string getNumberWithThousandsSeparator(std::int64_t number);
    static std::string getStringFromNumber(double number);                       // "1234.5"
    static std::string getStringFromNumberWithThousandsSeparator(double number); // "1,234.5"
    static std::string getStringForCurrency(double number);                      // "$1,234.50"

    // ---- Search and replace ----
    // The text in ASCII: letters lose their diacritics ("Événement à 5 €" gives "Evenement a 5 "),
    // other characters without an ASCII form go; question marks of the text stay.
    static std::string stringNoAccent(std::string_view text);
    // Whether the terms occur in the text, ignoring case. allParts false: one non-empty term found is
    // enough; true: every term must be found, empty terms counting as found. The one-string forms split
    // the terms at the separator (","). An empty text or no terms never match.
    static bool searchString(std::string_view terms, std::string_view text, bool allParts);
    static bool searchString(std::string_view terms, std::string_view text, std::string_view separator, bool allParts);
    static bool searchStrings(const std::vector<std::string>& terms, std::string_view text, bool allParts);
    // The same, ignoring diacritics too.
    static bool searchStringNoAccent(std::string_view terms, std::string_view text, bool allParts);
    static bool searchStringNoAccent(std::string_view terms, std::string_view text, std::string_view separator,
                                     bool allParts);
    static bool searchStringsNoAccent(const std::vector<std::string>& terms, std::string_view text, bool allParts);
    // Every occurrence of oldString replaced by newString, ignoring case, from the start; an inserted
    // text is never searched again.
    static std::string replaceInString(std::string_view text, std::string_view oldString, std::string_view newString);

    // ---- HTML ----
    // The text as HTML: markup characters and quotes escaped, accented Latin letters and common symbols
    // as character references ("&eacute;", "&euro;", "&#256;"); other characters stay UTF-8.
    static std::string textToHTML(std::string_view text);
    // The plain text an HTML reader shows: tags dropped (line breaks for <br> and block ends), runs of
    // white space made one space, character references decoded.
    static std::string HTMLtoText(std::string_view html);

    // ---- Paths (file names are shown as they are here) ----
    static std::string localizedNameAtPath(const std::string& path);
    static std::string localizedPath(const std::string& path);
    // The name of the volume holding `path`: for a path on a mounted volume other than "/", the last
    // component of its mount point (as a disk's folder is named after the disk); on "/", the root
    // file system's label, else "/". Empty for an empty path.
    static std::string volumeNameAtPath(const std::string& path);
};

} // namespace bw
