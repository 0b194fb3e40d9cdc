#include "engine/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace fw {

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->ctx = EVP_MD_CTX_new();
    if (state_->ctx == nullptr) {
        throw std::bad_alloc();
    }
    Reset();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->ctx);
}

void Sha256::Reset() {
    if (EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

void Sha256::Update(const void* data, std::size_t size) {
    if (size > 0) {
        EVP_DigestUpdate(state_->ctx, data, size);
    }
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->ctx, digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0x0F]);
    }
    return out;
}

} // namespace fw
