#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

// OpenSSL's context type, declared here so that callers never include OpenSSL.
struct evp_md_ctx_st;

namespace velk {

/// An incremental SHA-256 (FIPS 180-4). Feed bytes with update() in any number of pieces,
/// then take the digest once with finish().
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    /// Throws Error when the cryptography library cannot start a computation.
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&&) noexcept = default;
    Sha256& operator=(Sha256&&) noexcept = default;
    ~Sha256() = default;

    void update(const void* bytes, std::size_t count);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    /// Ends the computation; further calls to update() or finish() throw Error.
    Digest finish();

    static Digest of(std::string_view bytes);

private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
    bool finished_ = false;
};

} // namespace velk
