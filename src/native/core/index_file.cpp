#include "core/index_file.hpp"

namespace molvane::core {

namespace {

constexpr std::string_view kMagic("MVSDIDX\0", 8);
constexpr uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8 + 8 + 8;

void put(std::string& out, uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k)
        out.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
}

uint64_t get(std::string_view data, std::size_t at, int bytes) noexcept {
    uint64_t value = 0;
    for (int k = 0; k < bytes; ++k)
        value |= uint64_t{static_cast<unsigned char>(data[at + static_cast<std::size_t>(k)])}
                 << (8 * k);
    return value;
}

}  // namespace

bool offsets_fit(const std::vector<uint64_t>& offsets, uint64_t size) noexcept {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() > size) return false;
    for (std::size_t k = 1; k < offsets.size(); ++k)
        if (offsets[k - 1] >= offsets[k]) return false;
    return true;
}

std::string encode_index(const SavedIndex& index) {
    std::string out;
    out.reserve(kHeaderSize + 8 * index.offsets.size());
    out.append(kMagic);
    put(out, kVersion, 4);
    put(out, index.universal ? 1 : 0, 4);
    put(out, index.stamp.size, 8);
    put(out, static_cast<uint64_t>(index.stamp.mtime_ns), 8);
    put(out, index.offsets.size(), 8);
    for (uint64_t offset : index.offsets)
        put(out, offset, 8);
    return out;
}

FileFault decode_index(std::string_view data, SavedIndex& index) {
    if (data.size() < kHeaderSize || data.substr(0, 8) != kMagic)
        return FileFault::of(FileFault::Kind::NotAnIndex);
    if (get(data, 8, 4) != kVersion) return FileFault::of(FileFault::Kind::IndexVersion);
    const uint64_t rule = get(data, 12, 4);
    if (rule > 1) return FileFault::of(FileFault::Kind::IndexDamaged);
    index.universal = rule == 1;
    index.stamp.size = get(data, 16, 8);
    index.stamp.mtime_ns = static_cast<int64_t>(get(data, 24, 8));
    const uint64_t count = get(data, 32, 8);
    if (count != (data.size() - kHeaderSize) / 8 || (data.size() - kHeaderSize) % 8 != 0)
        return FileFault::of(FileFault::Kind::IndexDamaged);
    index.offsets.resize(static_cast<std::size_t>(count));
    for (std::size_t k = 0; k < index.offsets.size(); ++k)
        index.offsets[k] = get(data, kHeaderSize + 8 * k, 8);
    if (!offsets_fit(index.offsets, index.stamp.size))
        return FileFault::of(FileFault::Kind::IndexDamaged);
    return {};
}

}  // namespace molvane::core
