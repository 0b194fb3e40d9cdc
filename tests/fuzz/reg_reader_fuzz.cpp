// Arbitrary bytes as a registry file: the reader must neither crash nor hang,
// and whatever it makes of them must come back unchanged through the writer.
#include "settings/RegFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

bool Same(const std::vector<fw::MemoryRegistry::Key>& a,
          const std::vector<fw::MemoryRegistry::Key>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].path != b[k].path || a[k].values.size() != b[k].values.size()) {
            return false;
        }
        for (std::size_t v = 0; v < a[k].values.size(); ++v) {
            const auto& x = a[k].values[v];
            const auto& y = b[k].values[v];
            if (x.name != y.name || x.type != y.type || x.data != y.data) {
                return false;
            }
        }
    }
    return true;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "reg_reader_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const fw::RegFileContents first = fw::ParseRegFile(text);
    if (first.damaged != (first.firstBadLine != 0)) {
        Fail("damage and the first bad line disagree");
    }
    const std::optional<std::string> written = fw::WriteRegFile(first.keys);
    if (!written) {
        Fail("the writer refused what the reader produced");
    }
    const fw::RegFileContents second = fw::ParseRegFile(*written);
    if (second.damaged) {
        Fail("the writer's text does not parse cleanly");
    }
    if (!Same(first.keys, second.keys)) {
        Fail("parse -> write -> parse changed the contents");
    }
    return 0;
}
