#include "platform/Ed25519.h"

#include <memory>
#include <openssl/evp.h>

namespace velk {

namespace {
struct KeyDeleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
} // namespace

std::optional<Ed25519PublicKey> Ed25519PublicKey::fromRaw(std::string_view bytes) {
    Ed25519PublicKey key;
    if (bytes.size() != key.key_.size())
        return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), key.key_.begin());
    return key;
}

bool Ed25519PublicKey::verify(std::string_view message, std::string_view signature) const {
    if (signature.size() != 64)
        return false;
    const std::unique_ptr<EVP_PKEY, KeyDeleter> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key_.data(), key_.size()));
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!key || !context)
        return false;
    // Ed25519 hashes internally: no digest is named, and the message goes in whole.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

} // namespace velk
