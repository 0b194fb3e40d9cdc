// Arbitrary bytes as a registry file: the reader must neither crash nor hang,
// and whatever it makes of them must come back unchanged through the writer.
#include "settings/RegFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

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
    if (first.keys != second.keys) { // Key and Value compare member by member
        Fail("parse -> write -> parse changed the contents");
    }
    return 0;
}
