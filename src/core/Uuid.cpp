#include "core/Uuid.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace velk {

Uuid Uuid::random() {
    Uuid uuid;
    // getentropy is getrandom(2) from the kernel's pool. A seeded generator would do for
    // uniqueness, but these names sit in folders other people can write to, and a name
    // that can be predicted can be planted as a link first.
    if (::getentropy(uuid.bytes_.data(), uuid.bytes_.size()) != 0) {
        throw std::system_error(errno, std::generic_category(), "getentropy");
    }
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);
    return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    Uuid uuid;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int hi = nibble(text[i]);
        const int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        uuid.bytes_[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return uuid;
}

std::string Uuid::toString() const {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[bytes_[i] >> 4];
        out += hex[bytes_[i] & 0xF];
    }
    return out;
}

} // namespace velk
