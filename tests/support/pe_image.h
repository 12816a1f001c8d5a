// Helpers for the kernel-image tests: the built image, and small edits of a
// copy of it, each breaking exactly one rule.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "loader/pe_file.h"

namespace hbatest {

inline std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path)
{
    auto bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline std::vector<uint8_t> BuiltImage()
{
    return ReadBytes(HBA_SYS_PATH);
}

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    std::memcpy(b.data() + at, &v, sizeof(v));
}

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    std::memcpy(b.data() + at, &v, sizeof(v));
}

inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, b.data() + at, sizeof(v));
    return v;
}

// File offsets of the headers the edits touch.
struct Layout {
    size_t coff;
    size_t optional;
};

inline Layout LayoutOf(const std::vector<uint8_t>& b)
{
    const size_t coff = Get32(b, 0x3C) + 4;
    return {coff, coff + 20};
}

// `text` as UTF-16LE, as resources hold it.
inline std::string Utf16(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// Replaces the first occurrence of `from` with `to` (same length).
inline bool ReplaceText(std::vector<uint8_t>& b, const std::string& from, const std::string& to)
{
    auto it = std::search(b.begin(), b.end(), from.begin(), from.end());
    if (it == b.end() || from.size() != to.size())
        return false;
    std::copy(to.begin(), to.end(), it);
    return true;
}

}  // namespace hbatest
