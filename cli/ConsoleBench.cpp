#include "cli/ConsoleBench.h"

#include "link/net/QtNetPort.h"
#include "link/serial/QtSerialPort.h"
#include "platform/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <memory>

namespace fw::cli {

ConsoleScreen::ConsoleScreen(std::FILE* out, bool terminal, const BenchRun& run)
    : view(out, terminal), box(stderr, &view) {
    view.SetFigures([&run] { return run.Upload(); });
}

void ConsoleScreen::Load(std::function<void()> tick) {
    view.SetOnTick(std::move(tick));
    view.Load();
}

void ConsoleScreen::Unload() {
    view.Unload();
    view.BreakLine();
}

void PostToEventLoop(std::function<void()> call) {
    QTimer::singleShot(0, QCoreApplication::instance(), std::move(call));
}

TransportMakers MachineTransports(const ComPortNames& names, IUsbDriver& usb) {
    return TransportMakers{
        [&names] { return std::make_unique<QtSerialPort>(names); },
        [] { return std::make_unique<QtNetPort>(); },
        usb,
    };
}

int RunBenchToEnd(Bench& bench, const std::function<void(int signal)>& stopped) {
    // Ctrl-C, a kill, a closed terminal or Ctrl-\ do what Previous does; a
    // closed stdout or stderr only loses the output, the runs go on.
    const int stopSignals = CatchStopSignals();
    if (stopSignals < 0) {
        std::fprintf(stderr, "%s: cannot catch Ctrl-C: %s\n", kProgram, std::strerror(errno));
    }
    int signalNumber = 0;
    std::unique_ptr<QSocketNotifier> interrupt;
    if (stopSignals >= 0) {
        interrupt = std::make_unique<QSocketNotifier>(stopSignals, QSocketNotifier::Read);
        QObject::connect(interrupt.get(), &QSocketNotifier::activated, interrupt.get(), [&] {
            const int sig = TakeStopSignal();
            if (signalNumber != 0) {
                return;
            }
            signalNumber = sig;
            bench.StopAll();
            if (stopped) {
                stopped(sig);
            }
            QCoreApplication::exit(128 + sig);
        });
    }
    bool idle = false;
    const auto before = bench.on.idle;
    bench.on.idle = [&] {
        if (before) {
            before();
        }
        idle = true;
        QCoreApplication::exit(0);
    };
    bench.Start();
    if (!idle && signalNumber == 0) {
        QCoreApplication::exec();
    }
    bench.on.idle = before;
    interrupt.reset();
    ReleaseStopSignals();
    return signalNumber;
}

} // namespace fw::cli
