#include "plist/keyed_archive_writer.h"

#include "files/log_line.h"

#include <syslog.h>

namespace bw {

namespace {
const std::vector<std::string> kStringClass{"NSString"};
}

KeyedArchiveWriter::KeyedArchiveWriter() {
    m_uids.push_back(m_plist.addString("$null"));
    m_filled.push_back(true);
}

std::uint64_t KeyedArchiveWriter::reserve() {
    m_uids.push_back(0);
    m_filled.push_back(false);
    return m_uids.size() - 1;
}

std::uint64_t KeyedArchiveWriter::inlineValue(std::uint32_t plistIndex) {
    if (m_uidOfInline.size() <= plistIndex)
        m_uidOfInline.resize(plistIndex + 1 + m_uidOfInline.size() / 2, 0);
    if (m_uidOfInline[plistIndex] != 0)
        return m_uidOfInline[plistIndex] - 1;
    m_uids.push_back(plistIndex);
    m_filled.push_back(true);
    m_uidOfInline[plistIndex] = static_cast<std::uint32_t>(m_uids.size());
    return m_uids.size() - 1;
}

std::uint64_t KeyedArchiveWriter::string(std::string_view text) {
    if (text == "$null") {
        // That text is the archive's own nil marker when stored inline; it is wrapped as an object.
        const std::uint64_t uid = reserve();
        const std::uint32_t keys[] = {m_plist.addString("NS.string"), m_plist.addString("$class")};
        const std::uint32_t values[] = {m_plist.addString(text), m_plist.addUid(classUid(kStringClass))};
        m_uids[uid] = m_plist.addDictionary(keys, values);
        m_filled[uid] = true;
        return uid;
    }
    return inlineValue(m_plist.addString(text));
}

std::uint64_t KeyedArchiveWriter::boolean(bool value) {
    return inlineValue(m_plist.addBool(value));
}

std::uint64_t KeyedArchiveWriter::integer(std::int64_t value) {
    return inlineValue(m_plist.addInt(value));
}

std::uint64_t KeyedArchiveWriter::unsignedInteger(std::uint64_t value) {
    return inlineValue(m_plist.addUInt(value));
}

std::uint64_t KeyedArchiveWriter::real(double value) {
    return inlineValue(m_plist.addReal(value));
}

std::uint64_t KeyedArchiveWriter::classUid(const std::vector<std::string>& given) {
    // Tables of many entries ask for the same class each time: the last answer is kept at hand.
    if (m_lastClassUid != 0 && given == m_lastClass)
        return m_lastClassUid;
    std::vector<std::string> chain = given;
    if (chain.empty() || chain.back() != "NSObject")
        chain.push_back("NSObject");
    auto it = m_classes.find(chain);
    std::uint64_t uid = 0;
    if (it != m_classes.end()) {
        uid = it->second;
    } else {
        std::vector<std::uint32_t> names;
        for (const auto& name : chain)
            names.push_back(m_plist.addString(name));
        const std::uint32_t keys[] = {m_plist.addString("$classname"), m_plist.addString("$classes")};
        const std::uint32_t values[] = {m_plist.addString(chain.front()), m_plist.addArray(names)};
        m_uids.push_back(m_plist.addDictionary(keys, values));
        m_filled.push_back(true);
        uid = m_uids.size() - 1;
        m_classes.emplace(std::move(chain), uid);
    }
    m_lastClass = given;
    m_lastClassUid = uid;
    return uid;
}

std::span<const std::uint32_t> KeyedArchiveWriter::uidRefs(std::span<const std::uint64_t> uids,
                                                          std::vector<std::uint32_t>& refs) {
    refs.clear();
    for (std::uint64_t uid : uids)
        refs.push_back(m_plist.addUid(uid));
    return refs;
}

void KeyedArchiveWriter::setObject(std::uint64_t uid, const std::vector<std::string>& classChain,
                                   std::span<const Member> members) {
    std::vector<std::uint32_t> keys, values;
    keys.reserve(members.size() + 1);
    values.reserve(members.size() + 1);
    for (const auto& [key, member] : members) {
        keys.push_back(m_plist.addString(key));
        values.push_back(m_plist.addUid(member));
    }
    keys.push_back(m_plist.addString("$class"));
    values.push_back(m_plist.addUid(classUid(classChain)));
    m_uids[uid] = m_plist.addDictionary(keys, values);
    m_filled[uid] = true;
}

void KeyedArchiveWriter::setDictionary(std::uint64_t uid, const std::vector<std::string>& classChain,
                                       std::span<const std::uint64_t> keys, std::span<const std::uint64_t> values) {
    const std::uint32_t keyArray = m_plist.addArray(uidRefs(keys, m_scratch));
    const std::uint32_t valueArray = m_plist.addArray(uidRefs(values, m_scratch));
    if (m_dictionaryNames[0] == kNone)
        m_dictionaryNames = {m_plist.addString("NS.keys"), m_plist.addString("NS.objects"), m_plist.addString("$class")};
    const std::uint32_t* names = m_dictionaryNames.data();
    const std::uint32_t members[] = {keyArray, valueArray, m_plist.addUid(classUid(classChain))};
    m_uids[uid] = m_plist.addDictionary(std::span<const std::uint32_t>(names, 3), members);
    m_filled[uid] = true;
}

void KeyedArchiveWriter::setArray(std::uint64_t uid, const std::vector<std::string>& classChain,
                                  std::span<const std::uint64_t> items) {
    const std::uint32_t itemArray = m_plist.addArray(uidRefs(items, m_scratch));
    const std::uint32_t names[] = {m_plist.addString("NS.objects"), m_plist.addString("$class")};
    const std::uint32_t members[] = {itemArray, m_plist.addUid(classUid(classChain))};
    m_uids[uid] = m_plist.addDictionary(names, members);
    m_filled[uid] = true;
}

std::optional<Bytes> KeyedArchiveWriter::finish() {
    if (m_uids.size() < 2) {
        bw::logLine(LOG_ERR, "keyed archive: no root object");
        return std::nullopt;
    }
    for (bool filled : m_filled) {
        if (!filled) {
            bw::logLine(LOG_ERR, "keyed archive: an object was never written");
            return std::nullopt;
        }
    }
    const std::uint32_t topKeys[] = {m_plist.addString("$version"), m_plist.addString("$archiver"),
                                     m_plist.addString("$top"), m_plist.addString("$objects")};
    const std::uint32_t rootKey[] = {m_plist.addString("root")};
    const std::uint32_t rootValue[] = {m_plist.addUid(1)};
    const std::uint32_t topValues[] = {m_plist.addUInt(100000), m_plist.addString("NSKeyedArchiver"),
                                       m_plist.addDictionary(rootKey, rootValue), m_plist.addArray(m_uids)};
    return m_plist.finish(m_plist.addDictionary(topKeys, topValues));
}

} // namespace bw
