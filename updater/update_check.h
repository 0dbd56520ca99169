#pragma once
// The update check without a toolkit: the query encoding, the script's reply, version comparison, the
// addresses the updater accepts and the remaining-time estimate of a download.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace bw {

// What the update script says about the newest version.
struct UpdateInfos {
    std::string currentVersion; // "CurentVersionKey"
    std::string osMini;         // "OSMiniKey": the oldest system version it runs on, in OSXVersion() form
    std::string productURL;     // "ProductDownloadURLKey": the product's web page
    std::string fileURL;        // "FileURLKey": the archive to download
};

// Every byte of `text` as two lower-case hexadecimal digits, in order; "ERROR" for no text.
std::string asciiToHexa(const std::optional<std::string>& text);

// The query text before encoding: "<system>|<our version>|<product>|LOG" (or "|NOLOG").
std::string updateRequestParameters(long systemVersion, const std::string& bundleVersion,
                                    const std::string& productReference, bool logging);

// The reply as text: the inflated zlib stream when it is one, else nothing (the caller then asks again
// with "&&clear" and reads that reply as plain text).
std::optional<std::string> inflatedReplyText(std::span<const std::uint8_t> reply);

// "version;minimum system;product page;archive[;…]" → the four fields (surrounding blanks removed).
// Nothing for an empty text or fewer than four fields.
std::optional<UpdateInfos> parseUpdateReply(const std::string& text);

// Whether `remote` is newer than `local`. Versions are dotted numbers compared field by field
// (2.1 > 2.0.1), optionally followed by "b" and a beta build date of six digits with an optional
// trailing letter (2.0.1b100604a). A release is newer than its own betas.
bool newerVersionAvailable(const std::string& remote, const std::string& local);

// Addresses the updater fetches: https, or http to 127.0.0.1 only (a server on this machine).
bool isAllowedFetchURL(const std::string& url);
// Addresses it may open in the browser: http or https.
bool isAllowedBrowserURL(const std::string& url);
// The file name a download is saved under: the address's last path component, when it is a plain
// name; otherwise a fixed name.
std::string downloadFileName(const std::string& url);

// Seconds a download still needs: `elapsed` seconds brought `received` of `total` bytes. Never more
// than `previous`, so the shown estimate only goes down.
double remainingDownloadSeconds(double elapsed, double received, double total, double previous);

} // namespace bw
