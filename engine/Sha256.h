// SHA-256 of a stream of bytes, fed piece by piece. The platform's own
// implementation does the work (libcrypto, or CNG on Windows).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace fw {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Starts a new digest.
    void Reset();
    void Update(const void* data, std::size_t size);
    // The digest of everything fed since the last Reset, as 64 lower-case hex
    // digits. The object must be Reset before it is fed again.
    std::string HexDigest();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace fw
