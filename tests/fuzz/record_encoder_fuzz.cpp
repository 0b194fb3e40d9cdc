// Binary form of arbitrary lines: never crashes, and either carries exactly
// n + 3 bytes (n from the line length) or refuses a line that is not an S1/S2
// record or holds a character that is not a hexadecimal digit.
#include "engine/RecordForm.h"
#include "tests/fuzz/Require.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto record = fw::BinaryForm(line);
    Require(fw::TextForm(line).size() == size + 1);
    const std::size_t n = fw::BinaryBodyLength(size);
    bool digitsOk = fw::IsRecordLine(line);
    for (std::size_t i = 2; digitsOk && i < size && i < 2 + 2 * n; ++i) {
        digitsOk = std::isxdigit(static_cast<unsigned char>(line[i])) != 0;
    }
    Require(record.has_value() == digitsOk);
    Require(!record ||
            (record->size() == n + 3 && (*record)[0] == 0x46 &&
             (*record)[1] == static_cast<std::uint8_t>(line[1]) && record->back() == 0x0D));
    return 0;
}
