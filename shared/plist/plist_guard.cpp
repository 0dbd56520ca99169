#include "plist/plist_guard.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace bw {

namespace {

std::uint64_t readBigEndian(const unsigned char* bytes, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// The object table of a binary property list, checked against the data it lives in.
class BinaryPlistGraph {
public:
    explicit BinaryPlistGraph(std::string_view data)
        : m_bytes(reinterpret_cast<const unsigned char*>(data.data())), m_size(data.size()) {}

    bool readTrailer() {
        constexpr std::size_t kHeader = 8, kTrailer = 32;
        if (m_size < kHeader + kTrailer)
            return false;
        const unsigned char* trailer = m_bytes + m_size - kTrailer;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_objectCount = readBigEndian(trailer + 8, 8);
        m_topObject = readBigEndian(trailer + 16, 8);
        m_tableOffset = readBigEndian(trailer + 24, 8);
        m_bodyEnd = m_size - kTrailer;
        auto validWidth = [](unsigned width) { return width == 1 || width == 2 || width == 4 || width == 8; };
        if (!validWidth(m_offsetSize) || !validWidth(m_refSize))
            return false;
        if (m_objectCount == 0 || m_topObject >= m_objectCount)
            return false;
        if (m_tableOffset < kHeader || m_tableOffset > m_bodyEnd)
            return false;
        return m_objectCount <= (m_bodyEnd - m_tableOffset) / m_offsetSize;
    }

    std::uint64_t objectCount() const { return m_objectCount; }
    std::uint64_t topObject() const { return m_topObject; }

    // Where the references of a container start and how many there are (0 for a scalar).
    bool references(std::uint64_t index, std::uint64_t& start, std::uint64_t& count) const {
        std::uint64_t offset = readBigEndian(m_bytes + m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_tableOffset)
            return false;
        unsigned marker = m_bytes[offset];
        unsigned type = marker >> 4;
        count = 0;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD)
            return true;
        std::uint64_t position = offset + 1;
        std::uint64_t entries = marker & 0xF;
        if (entries == 0xF) {
            if (position >= m_tableOffset)
                return false;
            unsigned countMarker = m_bytes[position];
            if ((countMarker >> 4) != 0x1 || (countMarker & 0xF) > 3)
                return false;
            std::uint64_t width = std::uint64_t{1} << (countMarker & 0xF);
            if (position + 1 + width > m_tableOffset)
                return false;
            entries = readBigEndian(m_bytes + position + 1, width);
            position += 1 + width;
        }
        std::uint64_t available = (m_tableOffset - position) / m_refSize;
        if (type == 0xD) {
            if (entries > available / 2)
                return false;
            entries *= 2; // keys, then values
        } else if (entries > available) {
            return false;
        }
        start = position;
        count = entries;
        return true;
    }

    bool reference(std::uint64_t start, std::uint64_t k, std::uint64_t& target) const {
        target = readBigEndian(m_bytes + start + k * m_refSize, m_refSize);
        return target < m_objectCount;
    }

private:
    const unsigned char* m_bytes;
    std::size_t m_size;
    unsigned m_offsetSize = 0, m_refSize = 0;
    std::uint64_t m_objectCount = 0, m_topObject = 0, m_tableOffset = 0, m_bodyEnd = 0;
};

// Depth-first walk from the top object with an explicit stack: each object's expanded node count and
// height are computed once; a reference back into the current path is a cycle.
bool binaryWithinLimits(std::string_view data, const PlistLimits& limits) {
    BinaryPlistGraph graph(data);
    if (!graph.readTrailer())
        return false;
    enum : unsigned char { Unvisited, InProgress, Done };
    std::vector<unsigned char> state(graph.objectCount(), Unvisited);
    std::vector<std::uint64_t> nodes(graph.objectCount(), 0);
    std::vector<std::uint64_t> height(graph.objectCount(), 0);

    struct Frame {
        std::uint64_t index, refStart, refCount, next, nodes, height;
    };
    std::vector<Frame> stack;
    auto enter = [&](std::uint64_t index) {
        Frame frame{index, 0, 0, 0, 1, 0};
        if (!graph.references(index, frame.refStart, frame.refCount))
            return false;
        state[index] = InProgress;
        stack.push_back(frame);
        return stack.size() <= limits.maxDepth + 1;
    };
    auto absorb = [&](Frame& parent, std::uint64_t childNodes, std::uint64_t childHeight) {
        parent.nodes += childNodes;
        if (childHeight + 1 > parent.height)
            parent.height = childHeight + 1;
        return parent.nodes <= limits.maxNodes && parent.height <= limits.maxDepth;
    };

    if (!enter(graph.topObject()))
        return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.refCount) {
            std::uint64_t child = 0;
            if (!graph.reference(frame.refStart, frame.next++, child))
                return false;
            if (state[child] == InProgress)
                return false;
            if (state[child] == Done) {
                if (!absorb(frame, nodes[child], height[child]))
                    return false;
                continue;
            }
            if (!enter(child))
                return false;
            continue;
        }
        Frame finished = frame;
        stack.pop_back();
        state[finished.index] = Done;
        nodes[finished.index] = finished.nodes;
        height[finished.index] = finished.height;
        if (!stack.empty() && !absorb(stack.back(), finished.nodes, finished.height))
            return false;
    }
    return nodes[graph.topObject()] <= limits.maxNodes;
}

bool startsWithAt(std::string_view data, std::size_t at, std::string_view word) {
    return data.size() - at >= word.size() && data.substr(at, word.size()) == word;
}

bool endsTagName(std::string_view data, std::size_t at) {
    if (at >= data.size())
        return false;
    char c = data[at];
    return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Counts open <array>/<dict> elements on the tags; comments and CDATA can only make the count larger,
// which errs on the side of refusing.
bool xmlWithinLimits(std::string_view data, const PlistLimits& limits) {
    std::size_t depth = 0, elements = 0;
    for (std::size_t i = data.find('<'); i != std::string_view::npos; i = data.find('<', i + 1)) {
        std::size_t name = i + 1;
        bool closing = name < data.size() && data[name] == '/';
        if (closing)
            ++name;
        std::size_t after = 0;
        if (startsWithAt(data, name, "array"))
            after = name + 5;
        else if (startsWithAt(data, name, "dict"))
            after = name + 4;
        if (!closing && name < data.size() && data[name] != '?' && data[name] != '!' && ++elements > limits.maxNodes)
            return false;
        if (!after || !endsTagName(data, after))
            continue;
        if (closing) {
            if (depth > 0)
                --depth;
            continue;
        }
        std::size_t end = data.find('>', after);
        if (end == std::string_view::npos)
            return false;
        if (data[end - 1] == '/')
            continue; // <array/>
        if (++depth > limits.maxDepth)
            return false;
    }
    return true;
}

} // namespace

bool isBinaryPlist(std::string_view data) {
    return data.substr(0, 8) == "bplist00";
}

bool plistWithinLimits(std::string_view data, const PlistLimits& limits) {
    return isBinaryPlist(data) ? binaryWithinLimits(data, limits) : xmlWithinLimits(data, limits);
}

PlistPtr parsePlist(std::string_view data, const PlistLimits& limits) {
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max())
        return nullptr;
    if (!plistWithinLimits(data, limits))
        return nullptr;
    plist_t root = nullptr;
    auto length = static_cast<std::uint32_t>(data.size());
    if (isBinaryPlist(data))
        plist_from_bin(data.data(), length, &root);
    else
        plist_from_xml(data.data(), length, &root);
    return PlistPtr(root);
}

} // namespace bw
