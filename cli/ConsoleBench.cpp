#include "cli/ConsoleBench.h"

#include "cli/Terminal.h"
#include "platform/StopSignals.h"

#include <QCoreApplication>
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

TransportMakers MachineTransports(const PlatformParts& parts, IUsbDriver& usb) {
    return TransportMakers{parts.makeSerialPort, parts.makeNetPort, usb};
}

int RunBenchToEnd(Bench& bench, const std::function<void(int signal)>& stopped, bool untilStopped) {
    // Ctrl-C, a kill, a closed terminal or Ctrl-\ (on Windows: Ctrl-C,
    // Ctrl-Break, the console closed, log-off, shut-down) do what Previous
    // does; a closed stdout or stderr only loses the output, the runs go on.
    int signalNumber = 0;
    const std::unique_ptr<QObject> stops = WatchStopSignals([&](int sig) {
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
    if (!stops) {
        WriteProgress(stderr, std::string(kProgram) +
                                  ": cannot catch Ctrl-C: " + std::strerror(errno) + "\n");
    }
    bool idle = false;
    const auto before = bench.on.idle;
    bench.on.idle = [&] {
        if (before) {
            before();
        }
        if (!untilStopped) {
            idle = true;
            QCoreApplication::exit(0);
        }
    };
    bench.Start();
    if (!idle && signalNumber == 0) {
        QCoreApplication::exec();
    }
    bench.on.idle = before;
    // Every record is written: from here a stop signal ends the program at
    // once, and what is left to say may wait for the output. After a stop
    // signal nothing waits for it.
    ReleaseStopSignals();
    if (signalNumber == 0) {
        FinishProgress();
    }
    return signalNumber;
}

} // namespace fw::cli
