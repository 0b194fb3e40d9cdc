#include "engine/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <stdexcept>
#include <vector>

namespace fw {

struct Sha256::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (BCryptOpenAlgorithmProvider(&state_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        throw std::runtime_error("SHA-256 is not available");
    }
    Reset();
}

Sha256::~Sha256() {
    if (state_->hash != nullptr) {
        BCryptDestroyHash(state_->hash);
    }
    BCryptCloseAlgorithmProvider(state_->alg, 0);
}

void Sha256::Reset() {
    if (state_->hash != nullptr) {
        BCryptDestroyHash(state_->hash);
        state_->hash = nullptr;
    }
    if (BCryptCreateHash(state_->alg, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

void Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        BCryptHashData(state_->hash, bytes, chunk, 0);
        bytes += chunk;
        size -= chunk;
    }
}

std::string Sha256::HexDigest() {
    unsigned char digest[32] = {};
    BCryptFinishHash(state_->hash, digest, sizeof digest, 0);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (unsigned char b : digest) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    return out;
}

} // namespace fw
