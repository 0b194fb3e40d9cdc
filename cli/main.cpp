// flashwright-cli: the wizard's engine, link and settings from a terminal or a
// script. Qt Core only: the event loop the serial port and the engine's clock
// run on.
#include "cli/Commands.h"
#include "link/NetAddress.h"

#include "FlashwrightVersion.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

using namespace fw::cli;

constexpr const char* kDescription =
    "Loads firmware into an analyser over a serial port or a USB converter, as the\n"
    "Flashwright wizard does.\n"
    "\n"
    "Commands:\n"
    "  list         the serial ports the wizard would offer, then the USB converters\n"
    "  check FILE   check a firmware file as a run would, without touching a port\n"
    "  flash        one run: bootloader, erase, upload, run\n"
    "\n"
    "The connection and the file default to the stored settings of the wizard.\n"
    "--port implies --type COM and --usb implies --type USB unless --type is given.\n"
    "Every run is appended to runs.jsonl, as the wizard's are.\n"
    "\n"
    "Exit codes: 0 every chosen step OK (check: the file would be accepted),\n"
    "1 the run failed or the file was refused, 2 usage error, 3 the link could not\n"
    "be opened, 130 interrupted (Ctrl-C; the run is recorded as abandoned).";

int Usage(const QString& message) {
    std::fprintf(stderr, "flashwright-cli: %s\nTry 'flashwright-cli --help'.\n",
                 qPrintable(message));
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("flashwright-cli");
    QCoreApplication::setApplicationVersion(FW_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("command", "list, check or flash");
    parser.addPositionalArgument("file", "the firmware file to check (check only)", "[FILE]");
    const QCommandLineOption type("type", "Connection type: COM, USB or TCP (flash).", "TYPE");
    const QCommandLineOption port("port", "Serial port: N or COMn (flash).", "N");
    const QCommandLineOption usb("usb", "USB converter serial number (flash).", "SERIAL");
    const QCommandLineOption address(
        "address", "Serial device server: HOST:PORT or rfc2217://HOST:PORT (flash).", "HOST:PORT");
    const QCommandLineOption file("file", "Firmware file, Motorola S-records (flash).", "PATH");
    const QCommandLineOption ops(
        "ops",
        QString("Operations, comma-separated from bootloader, erase-flash, erase-eeprom, "
                "erase-ram, upload, run (flash; default %1).")
            .arg(kDefaultOperations),
        "LIST");
    const QCommandLineOption save("save",
                                  "Store type, port, converter and file as the wizard's Next "
                                  "buttons would (flash).");
    const QCommandLineOption json("json",
                                  "Print the run record on standard output at the end; progress "
                                  "goes to standard error (flash).");
    const QCommandLineOption timeout(
        "timeout", "End a run that has not finished after SECONDS as failed (flash).", "SECONDS");
    const QList<QCommandLineOption> flashOptions{type, port, usb,  address, file,
                                                 ops,  save, json, timeout};
    parser.addOptions(flashOptions);

    if (!parser.parse(QCoreApplication::arguments())) {
        return Usage(parser.errorText());
    }
    if (parser.isSet("help")) {
        parser.showHelp(kExitOk);
    }
    if (parser.isSet("version")) {
        parser.showVersion();
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        return Usage("a command is needed: list, check or flash");
    }
    const QString command = args.first();
    const bool flashOptionGiven =
        std::any_of(flashOptions.begin(), flashOptions.end(),
                    [&parser](const QCommandLineOption& o) { return parser.isSet(o); });
    if (command != "flash" && flashOptionGiven) {
        return Usage("the options --type, --port, --usb, --address, --file, --ops, --save, --json "
                     "and --timeout belong to 'flash'");
    }

    if (command == "list") {
        if (args.size() != 1) {
            return Usage("'list' takes no arguments");
        }
        return ListCommand();
    }
    if (command == "check") {
        if (args.size() != 2) {
            return Usage("'check' takes one firmware file");
        }
        return CheckCommand(args.at(1).toStdString());
    }
    if (command != "flash") {
        return Usage("unknown command '" + command + "'");
    }
    if (args.size() != 1) {
        return Usage("'flash' takes no arguments; the file is given with --file");
    }

    FlashOptions options;
    if (parser.isSet(type)) {
        options.type = ParseType(parser.value(type).toStdString());
        if (!options.type) {
            return Usage("--type must be COM, USB or TCP");
        }
    }
    if (parser.isSet(port)) {
        options.port = ParsePort(parser.value(port).toStdString());
        if (!options.port) {
            return Usage("--port must be a number from 1 to 255, or COMn");
        }
        if (!options.type) {
            options.type = "COM";
        }
    }
    if (parser.isSet(usb)) {
        options.usb = parser.value(usb).toStdString();
        if (options.usb->empty()) {
            return Usage("--usb needs the converter's serial number");
        }
        if (!options.type) {
            options.type = "USB";
        }
    }
    if (parser.isSet(address)) {
        options.address = parser.value(address).toStdString();
        if (!fw::ParseNetAddress(*options.address)) {
            return Usage("--address must be HOST:PORT or rfc2217://HOST:PORT");
        }
        if (!options.type) {
            options.type = "TCP";
        }
    }
    if (parser.isSet(file)) {
        const std::string path = parser.value(file).toStdString();
        if (path.empty()) {
            return Usage("--file needs a path");
        }
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
        options.file = ec ? path : absolute.lexically_normal().string();
    }
    std::string bad;
    const std::optional<OperationSet> operations = ParseOperations(
        parser.isSet(ops) ? parser.value(ops).toStdString() : kDefaultOperations, &bad);
    if (!operations) {
        return Usage(QString("unknown operation '%1' in --ops").arg(QString::fromStdString(bad)));
    }
    options.operations = *operations;
    if (parser.isSet(timeout)) {
        options.timeoutSeconds = ParseTimeout(parser.value(timeout).toStdString());
        if (!options.timeoutSeconds) {
            return Usage("--timeout must be a number of seconds above 0");
        }
    }
    options.save = parser.isSet(save);
    options.json = parser.isSet(json);
    return FlashCommand(options);
}
