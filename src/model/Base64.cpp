#include "model/Base64.h"

#include <algorithm>
#include <cstdint>

namespace velk {

namespace {
constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
} // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group <<= 8;
            if (k < n)
                group |= static_cast<std::uint8_t>(bytes[i + k]);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::size_t padding = 0;
        if (last) {
            if (text[i + 3] == '=')
                ++padding;
            if (padding == 1 && text[i + 2] == '=')
                ++padding;
        }
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            group <<= 6;
            if (k >= 4 - padding)
                continue;
            const int value = sextet(text[i + k]);
            if (value < 0)
                return std::nullopt;
            group |= static_cast<std::uint32_t>(value);
        }
        // Bits that fall into the padding must be zero, or two texts would decode alike.
        if (padding == 1 && (group & 0xFF) != 0)
            return std::nullopt;
        if (padding == 2 && (group & 0xFFFF) != 0)
            return std::nullopt;
        for (std::size_t k = 0; k < 3 - padding; ++k) {
            out += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
        }
    }
    return out;
}

} // namespace velk
