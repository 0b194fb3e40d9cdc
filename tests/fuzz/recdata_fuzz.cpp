// Random arrivals, ticks and polls in every state with random operation flags:
// never crashes, the reply buffer never holds more than 1024 characters and the
// state always stays within 0..16. Message boxes fire a tick and a receive event
// while "open", as the real modal loop may.
#include "run/AnalyserRun.h"
#include "tests/fuzz/Require.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string FirmwarePath() {
    static const std::string path = [] {
        const auto p = std::filesystem::temp_directory_path() / "fw_recdata_fuzz.sx";
        std::ofstream(p, std::ios::binary)
            << "S00600004844521B\r\nS1137AF00A0A0D0000000000000000000000000061\r\n"
               "s2080100000102030401\nS1030000FC\rS1zz\r\nS9030000FC\r\n";
        return p.string();
    }();
    return path;
}

void Check(const fw::RunState& run) {
    const auto state = static_cast<std::int32_t>(run.nUpdateState);
    Require(run.sReplyBuffer.size() <= fw::kReplyBufferLimit && state >= 0 && state <= 16);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fw::ProgressFields fields;
    fw::test::FakeProgressView view;
    fw::test::FakeUsbDriver usb;
    fw::test::RecordingMessageBox box;
    fw::AnalyserRun run(fw::RunServices{
        view, fields, box,
        fw::TransportMakers{[&view] { return fw::test::BorrowedSerialPort::Of(view.port); },
                            nullptr, usb}});
    fw::UpdateEngine& engine = run.engine;
    fw::RunState& runState = engine.State();

    fw::RunConfig config;
    for (fw::VbBool fw::Operations::*op :
         {&fw::Operations::bOpBootloader, &fw::Operations::bOpEraseFlash,
          &fw::Operations::bOpEraseEEPROM, &fw::Operations::bOpEraseRAM, &fw::Operations::bOpUpload,
          &fw::Operations::bOpRun}) {
        config.operations.*op = fw::ToVb(in.ConsumeBool());
    }
    const auto state = static_cast<fw::UpdateState>(in.ConsumeIntegralInRange<std::int32_t>(0, 16));
    runState.nAnalyserKind = in.ConsumeIntegralInRange<std::int32_t>(0, 2);
    runState.sReplyBuffer = in.ConsumeRandomLengthString(1024);
    fields.nTick = static_cast<std::int16_t>(2 * in.ConsumeIntegralInRange<int>(0, 299));
    fields.nProgressWidth = 2295;
    if (in.ConsumeBool()) {
        config.filename = FirmwarePath();
    }
    // A run connects with those choices and is put into a random state.
    if (in.ConsumeBool()) {
        config.type = fw::ConnectionType::Usb;
        usb.devices = {{"S1", in.ConsumeBool() ? "Merlane" : "Plain"}};
    } else {
        view.port.open = true;
    }
    engine.ConnectToAnalyser(config);
    runState.nUpdateState = state;
    const std::string insideBox = in.ConsumeRandomLengthString(64);
    box.whileOpen = [&] {
        if (box.shown.size() > 64) {
            return; // the same text would open a box again without end
        }
        engine.AFTimer1_Timer();
        view.port.Receive(insideBox);
        view.port.RaiseComm();
    };

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            engine.RecData(in.ConsumeRandomLengthString(1500));
            break;
        case 1:
            view.port.Receive(in.ConsumeRandomLengthString(600));
            view.port.RaiseComm();
            break;
        case 2:
            usb.Receive(in.ConsumeRandomLengthString(600));
            run.link.Poll();
            break;
        case 3:
            engine.AFTimer1_Timer();
            break;
        default:
            runState.nUpdateState =
                static_cast<fw::UpdateState>(in.ConsumeIntegralInRange<std::int32_t>(0, 16));
            break;
        }
        Check(runState);
    }
    return 0;
}
