#include "platform/Sha256.h"

#include <openssl/evp.h>

#include "core/Error.h"

namespace velk {

void Sha256::ContextDeleter::operator()(EVP_MD_CTX* context) const noexcept {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw Error("SHA-256 could not be started");
    }
}

void Sha256::update(const void* bytes, std::size_t count) {
    if (!context_ || finished_)
        throw Error("SHA-256 used after it was finished");
    if (count == 0)
        return;
    if (EVP_DigestUpdate(context_.get(), bytes, count) != 1)
        throw Error("SHA-256 update failed");
}

Sha256::Digest Sha256::finish() {
    if (!context_ || finished_)
        throw Error("SHA-256 used after it was finished");
    finished_ = true;
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        throw Error("SHA-256 could not be finished");
    }
    return digest;
}

Sha256::Digest Sha256::of(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finish();
}

} // namespace velk
