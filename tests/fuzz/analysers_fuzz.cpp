// Arbitrary text as an --analysers file: it is either read whole or refused
// with a reason and no analysers; never more analysers than lines; and each
// analyser read from it is read again from its own name as the same analyser.
#include "cli/Analysers.h"
#include "tests/fuzz/Require.h"

#include <algorithm>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using fw::cli::Analyser;
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    const fw::cli::AnalysersFile file = fw::cli::ParseAnalysersText(text, "f");
    Require(file.error.empty() != file.analysers.empty());
    Require(file.analysers.size() <=
            static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    for (const Analyser& a : file.analysers) {
        const std::optional<Analyser> again = fw::cli::ParseAnalyser(a.name);
        Require(again.has_value());
        Require(again->name == a.name && again->type == a.type && again->port == a.port &&
                again->portDevice == a.portDevice && again->usbSerial == a.usbSerial &&
                again->address == a.address);
    }
    return 0;
}
