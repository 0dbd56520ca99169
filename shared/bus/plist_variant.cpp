#include "bus/plist_variant.h"

#include "bus/sd_bus_handles.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace bw::bus {

namespace {

int appendVariant(sd_bus_message* m, plist_t node, int depth);
PlistPtr readValue(sd_bus_message* m, int depth, std::size_t& budget);

int appendVariant(sd_bus_message* m, plist_t node, int depth) {
    if (depth > kMaxDepth)
        return -E2BIG;
    int r = 0;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        CString text(raw);
        return sd_bus_message_append(m, "v", "s", text ? text.get() : "");
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return sd_bus_message_append(m, "v", "b", int(value != 0));
    }
    case PLIST_UINT: {
        // This libplist keeps every integer as 64 raw bits (negative numbers in two's complement), so the
        // signed form carries each of them unchanged and shows negative numbers as such.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return sd_bus_message_append(m, "v", "x", static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return sd_bus_message_append(m, "v", "d", value);
    }
    case PLIST_DATE: {
        // A date is a struct of one double (seconds since 2001-01-01), so that it comes back as a date.
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return sd_bus_message_append(m, "v", "(d)", double(sec) + double(usec) / 1e6);
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        CString bytes(raw);
        if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0 ||
            (r = sd_bus_message_append_array(m, 'y', bytes ? bytes.get() : "", length)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    }
    case PLIST_ARRAY: {
        if ((r = sd_bus_message_open_container(m, 'v', "av")) < 0 ||
            (r = sd_bus_message_open_container(m, 'a', "v")) < 0)
            return r;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if ((r = appendVariant(m, plist_array_get_item(node, i), depth + 1)) < 0)
                return r;
        }
        if ((r = sd_bus_message_close_container(m)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    }
    case PLIST_DICT:
        if ((r = sd_bus_message_open_container(m, 'v', "a{sv}")) < 0 || (r = appendDictionary(m, node, depth + 1)) < 0)
            return r;
        return sd_bus_message_close_container(m);
    default:
        // Keys, archive uids and empty nodes are no property-list values.
        return -EINVAL;
    }
}

template <typename T> bool readBasic(sd_bus_message* m, char type, T* value) {
    return sd_bus_message_read_basic(m, type, value) >= 0;
}

PlistPtr readValue(sd_bus_message* m, int depth, std::size_t& budget) {
    if (depth > kMaxDepth)
        return nullptr;
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0)
        return nullptr;
    // Containers count themselves in readArray; a variant is only the wrapper of what it holds.
    if (type != 'a' && type != 'v') {
        if (budget == 0)
            return nullptr;
        --budget;
    }
    switch (type) {
    case 's':
    case 'o':
    case 'g': {
        const char* text = nullptr;
        return readBasic(m, type, &text) ? PlistPtr(plist_new_string(text)) : nullptr;
    }
    case 'b': {
        int value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_bool(value != 0)) : nullptr;
    }
    case 'y': {
        uint8_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'n': {
        int16_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(int64_t(value)))) : nullptr;
    }
    case 'q': {
        uint16_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'i': {
        int32_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(int64_t(value)))) : nullptr;
    }
    case 'u': {
        uint32_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'x': {
        int64_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(uint64_t(value))) : nullptr;
    }
    case 't': {
        uint64_t value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_uint(value)) : nullptr;
    }
    case 'd': {
        double value = 0;
        return readBasic(m, type, &value) ? PlistPtr(plist_new_real(value)) : nullptr;
    }
    case 'v': {
        if (sd_bus_message_enter_container(m, 'v', contents) <= 0)
            return nullptr;
        PlistPtr inner = readValue(m, depth + 1, budget);
        if (!inner || sd_bus_message_exit_container(m) < 0)
            return nullptr;
        return inner;
    }
    case 'a':
        return readArray(m, contents, depth, budget);
    case 'r': {
        if (std::strcmp(contents, "d") != 0 || sd_bus_message_enter_container(m, 'r', "d") <= 0)
            return nullptr;
        double seconds = 0;
        if (!readBasic(m, 'd', &seconds) || sd_bus_message_exit_container(m) < 0 || !std::isfinite(seconds) ||
            std::fabs(seconds) > 2147483647.0)
            return nullptr;
        const double whole = std::floor(seconds);
        auto usec = static_cast<int32_t>(std::lround((seconds - whole) * 1e6));
        auto sec = static_cast<int32_t>(whole);
        if (usec >= 1'000'000) {
            usec -= 1'000'000;
            sec += 1;
        }
        return PlistPtr(plist_new_date(sec, usec));
    }
    default:
        return nullptr;
    }
}

} // namespace

int appendDictionary(sd_bus_message* m, plist_t dict, int depth) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    if (dict) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(dict, &it);
        std::unique_ptr<void, FreeDeleter> iterator(it);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(dict, it, &rawKey, &value);
            CString key(rawKey);
            if (!value)
                break;
            if ((r = sd_bus_message_open_container(m, 'e', "sv")) < 0 ||
                (r = sd_bus_message_append_basic(m, 's', key ? key.get() : "")) < 0 ||
                (r = appendVariant(m, value, depth)) < 0 || (r = sd_bus_message_close_container(m)) < 0)
                return r;
        }
    }
    return sd_bus_message_close_container(m);
}

// `budget` counts the nodes still allowed; a value that would need more is refused.
PlistPtr readArray(sd_bus_message* m, const char* contents, int depth, std::size_t& budget) {
    if (budget == 0)
        return nullptr;
    --budget;
    if (std::strcmp(contents, "y") == 0) {
        const void* bytes = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &bytes, &size) < 0)
            return nullptr;
        return PlistPtr(plist_new_data(static_cast<const char*>(bytes), size));
    }
    if (sd_bus_message_enter_container(m, 'a', contents) <= 0)
        return nullptr;
    if (contents[0] == '{') {
        // Dictionaries keyed by text; the entry signature is the contents without its braces.
        const std::string entry(contents + 1, std::strlen(contents) - 2);
        if (entry.empty() || entry[0] != 's')
            return nullptr;
        PlistPtr dict(plist_new_dict());
        int r;
        while ((r = sd_bus_message_enter_container(m, 'e', entry.c_str())) > 0) {
            const char* key = nullptr;
            if (sd_bus_message_read_basic(m, 's', &key) < 0)
                return nullptr;
            PlistPtr value = readValue(m, depth + 1, budget);
            if (!value || sd_bus_message_exit_container(m) < 0)
                return nullptr;
            plist_dict_set_item(dict.get(), key, value.release());
        }
        if (r < 0 || sd_bus_message_exit_container(m) < 0)
            return nullptr;
        return dict;
    }
    PlistPtr array(plist_new_array());
    int r;
    while ((r = sd_bus_message_at_end(m, false)) == 0) {
        PlistPtr item = readValue(m, depth + 1, budget);
        if (!item)
            return nullptr;
        plist_array_append_item(array.get(), item.release());
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0)
        return nullptr;
    return array;
}

} // namespace bw::bus
