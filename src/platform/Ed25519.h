#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velk {

/// An Ed25519 public key (RFC 8032) that checks signatures made by its private key.
class Ed25519PublicKey {
public:
    /// The 32 raw key bytes; none for any other length.
    static std::optional<Ed25519PublicKey> fromRaw(std::string_view bytes);

    /// Whether `signature` (64 raw bytes) signs exactly `message`. Any other length,
    /// or a library failure, answers no.
    bool verify(std::string_view message, std::string_view signature) const;

private:
    std::array<std::uint8_t, 32> key_{};
};

} // namespace velk
