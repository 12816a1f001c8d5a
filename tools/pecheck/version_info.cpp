#include "version_info.h"

#include <fmt/format.h>

#include <vector>

namespace pecheck {
namespace {

using sim::loader::PeFile;

constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedInfoSize = 52;
constexpr int kMaxDepth = 4;

uint16_t U16(std::span<const uint8_t> b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t U32(std::span<const uint8_t> b, size_t at)
{
    return static_cast<uint32_t>(U16(b, at)) | static_cast<uint32_t>(U16(b, at + 2)) << 16;
}

size_t Align4(size_t at)
{
    return (at + 3) & ~size_t{3};
}

// The resource directory, walked by RVA: every read goes through bytes_at.
class Resources {
public:
    Resources(const PeFile& pe, std::span<const uint8_t> image) : pe_(pe), image_(image) {}

    std::optional<uint32_t> u32(uint32_t rva) const
    {
        auto b = sim::loader::bytes_at(pe_, image_, rva, 4);
        return b ? std::optional<uint32_t>(U32(*b, 0)) : std::nullopt;
    }

    // The entry of the directory at `offset` (from the root) whose id is
    // `id`, or the first entry when `id` is empty: its offset field.
    std::optional<uint32_t> entry(uint32_t offset, std::optional<uint32_t> id) const
    {
        auto counts = u32(pe_.resource_rva + offset + 12);
        if (!counts)
            return std::nullopt;
        const uint32_t entries = (*counts & 0xFFFF) + (*counts >> 16);
        for (uint32_t i = 0; i < entries && i < 4096; i++) {
            const uint32_t at = pe_.resource_rva + offset + 16 + i * 8;
            auto name = u32(at);
            auto target = u32(at + 4);
            if (!name || !target)
                return std::nullopt;
            if (!id || (!(*name & 0x80000000) && *name == *id))
                return *target;
        }
        return std::nullopt;
    }

private:
    const PeFile& pe_;
    std::span<const uint8_t> image_;
};

struct Block {
    std::string key;
    std::span<const uint8_t> value;
    uint16_t type = 0;
    std::vector<Block> children;
};

// UTF-16 text up to its NUL (or the end of `b`), kept as ASCII ('?' beyond).
std::string Text(std::span<const uint8_t> b, size_t at, size_t end, size_t* after = nullptr)
{
    std::string s;
    size_t i = at;
    for (; i + 1 < end; i += 2) {
        const uint16_t c = U16(b, i);
        if (c == 0) {
            i += 2;
            break;
        }
        s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    if (after)
        *after = i;
    return s;
}

// One version block (length, value length, type, key, value, children).
std::optional<Block> ParseBlock(std::span<const uint8_t> b, size_t at, size_t end, int depth, size_t& length)
{
    if (depth > kMaxDepth || at + 6 > end)
        return std::nullopt;
    length = U16(b, at);
    const uint16_t value_length = U16(b, at + 2);
    Block block;
    block.type = U16(b, at + 4);
    if (length < 6 || length > end - at)
        return std::nullopt;
    const size_t limit = at + length;
    size_t p;
    block.key = Text(b, at + 6, limit, &p);
    p = Align4(p);
    const size_t value_bytes = block.type == 1 ? size_t{value_length} * 2 : value_length;
    if (p > limit || value_bytes > limit - p)
        return std::nullopt;
    block.value = b.subspan(p, value_bytes);
    p = Align4(p + value_bytes);
    while (p < limit) {
        size_t child_length = 0;
        auto child = ParseBlock(b, p, limit, depth + 1, child_length);
        if (!child)
            return std::nullopt;
        block.children.push_back(std::move(*child));
        p = Align4(p + child_length);
    }
    return block;
}

}  // namespace

std::string VersionInfo::file_version_text() const
{
    return fmt::format("{}.{}.{}.{}", file_version[0], file_version[1], file_version[2], file_version[3]);
}

std::optional<VersionInfo> ReadVersionInfo(const PeFile& pe, std::span<const uint8_t> image, std::string& error)
{
    if (pe.resource_rva == 0 || pe.resource_size == 0) {
        error = "no resources, so no version resource";
        return std::nullopt;
    }
    const Resources res(pe, image);
    auto type = res.entry(0, kResourceTypeVersion);
    if (!type || !(*type & 0x80000000)) {
        error = "no version resource";
        return std::nullopt;
    }
    auto name = res.entry(*type & 0x7FFFFFFF, std::nullopt);
    auto language = name && (*name & 0x80000000) ? res.entry(*name & 0x7FFFFFFF, std::nullopt) : std::nullopt;
    auto data_rva = language && !(*language & 0x80000000) ? res.u32(pe.resource_rva + *language) : std::nullopt;
    auto data_size = language ? res.u32(pe.resource_rva + *language + 4) : std::nullopt;
    auto bytes = data_rva && data_size ? sim::loader::bytes_at(pe, image, *data_rva, *data_size) : std::nullopt;
    if (!bytes) {
        error = "version resource lies outside the file";
        return std::nullopt;
    }
    size_t length = 0;
    auto root = ParseBlock(*bytes, 0, bytes->size(), 0, length);
    if (!root || root->key != "VS_VERSION_INFO" || root->value.size() < kFixedInfoSize ||
        U32(root->value, 0) != kFixedInfoSignature) {
        error = "version resource is not a VS_VERSION_INFO block with fixed file information";
        return std::nullopt;
    }
    VersionInfo info;
    const auto fixed = root->value;
    const uint32_t fv[2] = {U32(fixed, 8), U32(fixed, 12)}, pv[2] = {U32(fixed, 16), U32(fixed, 20)};
    info.file_version = {static_cast<uint16_t>(fv[0] >> 16), static_cast<uint16_t>(fv[0]),
                         static_cast<uint16_t>(fv[1] >> 16), static_cast<uint16_t>(fv[1])};
    info.product_version = {static_cast<uint16_t>(pv[0] >> 16), static_cast<uint16_t>(pv[0]),
                            static_cast<uint16_t>(pv[1] >> 16), static_cast<uint16_t>(pv[1])};
    info.file_os = U32(fixed, 32);
    info.file_type = U32(fixed, 36);
    info.file_subtype = U32(fixed, 40);
    for (const Block& child : root->children) {
        if (child.key != "StringFileInfo")
            continue;
        for (const Block& table : child.children)
            for (const Block& s : table.children)
                info.strings[s.key] = Text(s.value, 0, s.value.size());
    }
    return info;
}

}  // namespace pecheck
