#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// A random (version 4) UUID, written in canonical 8-4-4-4-12 upper-case form.
class Uuid {
public:
    /// From the kernel's random source, unpredictable to other users. Throws
    /// std::system_error only on a kernel without getrandom(2).
    static Uuid random();
    /// Accepts either letter case; none for anything but the canonical layout.
    static std::optional<Uuid> parse(std::string_view text);

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace velk
