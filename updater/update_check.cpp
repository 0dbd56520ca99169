#include "update_check.h"

#include "store/compression.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <strings.h>
#include <vector>

namespace bw {

namespace {

// The leading decimal value of a text (blanks first allowed), 0 when it starts with no digit.
long leadingInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > 100'000'000'000L)
            break; // far past any version field; stop before overflowing
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The fields between separators, empty ones included: "a;;b" is {"a", "", "b"}.
std::vector<std::string> splitFields(const std::string& text, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return fields;
}

std::vector<long> versionFields(const std::string& text) {
    std::vector<long> fields;
    for (const std::string& field : splitFields(text, '.'))
        fields.push_back(leadingInteger(field));
    return fields;
}

// <0, 0, >0 as dotted numbers, a missing field counting as 0 (2.1 = 2.1.0).
int compareVersionFields(const std::string& a, const std::string& b) {
    std::vector<long> x = versionFields(a), y = versionFields(b);
    size_t n = std::max(x.size(), y.size());
    x.resize(n, 0);
    y.resize(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

struct BetaPart {
    long build = 0;
    std::string letter; // empty: none
};

// A beta part longer than a six-digit build date carries a letter as its last character.
BetaPart betaPart(std::string text) {
    BetaPart part;
    if (text.size() > 6) {
        part.letter = text.substr(text.size() - 1);
        text.pop_back();
    }
    part.build = leadingInteger(text);
    return part;
}

bool betaIsNewer(const std::string& remoteBeta, const std::string& localBeta) {
    BetaPart r = betaPart(remoteBeta), l = betaPart(localBeta);
    if (r.build != l.build)
        return r.build > l.build;
    if (r.letter.empty() && l.letter.empty())
        return false;
    if (r.letter.empty() != l.letter.empty())
        return true;
    if (r.letter == l.letter)
        return false;
    return strcasecmp(r.letter.c_str(), l.letter.c_str()) >= 0;
}

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

struct URLParts {
    std::string scheme; // lower case
    std::string host;   // lower case
    std::string path;   // from the first "/" after the host, without query or fragment
};

std::optional<URLParts> splitURL(const std::string& url) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0)
        return std::nullopt;
    URLParts parts;
    for (size_t i = 0; i < sep; ++i)
        parts.scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
    size_t hostStart = sep + 3;
    size_t hostEnd = url.find_first_of("/?#", hostStart);
    std::string authority =
        url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    // Credentials in an address only ever serve to disguise its host.
    if (authority.empty() || authority.find('@') != std::string::npos)
        return std::nullopt;
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return std::nullopt;
    }
    std::string host = authority;
    if (host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        host = host.substr(0, close + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    for (char c : host)
        parts.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (parts.host.empty())
        return std::nullopt;
    if (hostEnd != std::string::npos && url[hostEnd] == '/') {
        size_t pathEnd = url.find_first_of("?#", hostEnd);
        parts.path = url.substr(hostEnd, pathEnd == std::string::npos ? std::string::npos : pathEnd - hostEnd);
    }
    return parts;
}

} // namespace

std::string asciiToHexa(const std::optional<std::string>& text) {
    if (!text)
        return "ERROR";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(text->size() * 2);
    for (unsigned char c : *text) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xf];
    }
    return hex;
}

std::string updateRequestParameters(long systemVersion, const std::string& bundleVersion,
                                    const std::string& productReference, bool logging) {
    return std::to_string(systemVersion) + "|" + bundleVersion + "|" + productReference + (logging ? "|LOG" : "|NOLOG");
}

std::optional<std::string> inflatedReplyText(std::span<const std::uint8_t> reply) {
    if (reply.empty())
        return std::nullopt;
    std::optional<Bytes> inflated = decompressedData(reply);
    if (!inflated || inflated->empty())
        return std::nullopt;
    return std::string(inflated->begin(), inflated->end());
}

std::optional<UpdateInfos> parseUpdateReply(const std::string& text) {
    if (trimmed(text).empty())
        return std::nullopt;
    std::vector<std::string> fields = splitFields(text, ';');
    for (std::string& field : fields)
        field = trimmed(field);
    if (fields.size() < 4)
        return std::nullopt;
    return UpdateInfos{fields[0], fields[1], fields[2], fields[3]};
}

bool newerVersionAvailable(const std::string& remote, const std::string& local) {
    size_t rb = remote.find('b'), lb = local.find('b');
    bool remoteBeta = rb != std::string::npos, localBeta = lb != std::string::npos;
    std::string remoteMain = remote.substr(0, rb), localMain = local.substr(0, lb);
    int order = compareVersionFields(remoteMain, localMain);
    if (remoteBeta && localBeta) {
        // A beta of an older version is never newer, whatever its build date.
        if (order != 0)
            return order > 0;
        return betaIsNewer(remote.substr(rb + 1), local.substr(lb + 1));
    }
    if (localBeta)
        return order >= 0; // the release of the version being tested counts as newer
    return order > 0;
}

bool isAllowedFetchURL(const std::string& url) {
    std::optional<URLParts> parts = splitURL(url);
    if (!parts)
        return false;
    if (parts->scheme == "https")
        return true;
    return parts->scheme == "http" && parts->host == "127.0.0.1";
}

bool isAllowedBrowserURL(const std::string& url) {
    std::optional<URLParts> parts = splitURL(url);
    return parts && (parts->scheme == "https" || parts->scheme == "http");
}

std::string downloadFileName(const std::string& url) {
    static const char kFallback[] = "binwarden2-update.tar.gz";
    std::optional<URLParts> parts = splitURL(url);
    if (!parts)
        return kFallback;
    std::string name = parts->path.substr(parts->path.find_last_of('/') + 1);
    if (name.empty() || name == "." || name == ".." || name[0] == '.' || name.find('%') != std::string::npos ||
        name.size() > 200)
        return kFallback;
    return name;
}

double remainingDownloadSeconds(double elapsed, double received, double total, double previous) {
    if (total <= 0)
        return previous;
    double percent = received / total * 100.0;
    if (percent <= 0)
        percent = 0.1;
    double remaining = std::floor(elapsed * (100.0 - percent) / percent) + 1.0;
    return std::min(remaining, previous);
}

} // namespace bw
