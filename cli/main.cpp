// flashwright-cli: the wizard's engine, link and settings from a terminal or a
// script. Qt Core only: the event loop the serial port and the engine's clock
// run on.
#include "cli/Analysers.h"
#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "link/net/NetAddress.h"
#include "link/net/QtNetPort.h"
#include "pages/Platform.h"
#include "settings/Text.h"

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
    "  list            the serial ports and USB converters the wizard would offer\n"
    "  check FILE      check a firmware file as a run would, touching no port\n"
    "  flash           one run: bootloader, erase, upload, run; with several\n"
    "                  analysers one run each, all at once\n"
    "  help [COMMAND]  this text, or one command's use and options\n"
    "\n"
    "The connection and the file default to the stored settings of the wizard.\n"
    "--port implies --type COM and --usb implies --type USB unless --type is given.\n"
    "--port, --usb and --address may be given more than once, and --analysers FILE\n"
    "names one analyser a line: each gets the same file and operations.\n"
    "Every run is appended to runs.jsonl, as the wizard's are.\n"
    "\n"
    "Exit codes: 0 every chosen step OK (check: the file would be accepted; several\n"
    "analysers: every one OK), 1 the run failed or the file was refused (several:\n"
    "any failed or could not be reached), 2 usage error, 3 the link could not be\n"
    "opened, 130 interrupted (Ctrl-C; every run going is recorded as abandoned).";

int Usage(const QString& message) {
    std::fprintf(stderr, "flashwright-cli: %s\nTry 'flashwright-cli --help'.\n",
                 qUtf8Printable(message));
    return kExitUsage;
}

// The whole help on standard output. (QCommandLineParser::showHelp would put
// it in a message box on Windows when it sees no console window.)
int Help(const QCommandLineParser& parser) {
    std::fputs(qUtf8Printable(parser.helpText()), stdout);
    return kExitOk;
}

// A port as Windows spells it for a program, "\\.\COM10", is COM10.
QString PortText(QString text) {
    if (text.startsWith("\\\\.\\")) {
        text.remove(0, 4);
    }
    return text;
}

// A path given in UTF-8, made absolute and tidied; the file calls take it as
// UTF-16 on Windows, so a folder outside the ANSI code page stays as named.
std::string AbsolutePath(const std::string& utf8) {
    const std::filesystem::path path(std::u8string(utf8.begin(), utf8.end()));
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        return utf8;
    }
    const std::u8string text = absolute.lexically_normal().u8string();
    return std::string(text.begin(), text.end());
}

// `text` broken into lines of at most 79 columns, each after `indent` blanks.
QString Wrap(const QString& text, int indent) {
    QString out;
    QString line;
    for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > 79) {
            out += QString(indent, ' ') + line + '\n';
            line.clear();
        }
        line += (line.isEmpty() ? "" : " ") + word;
    }
    return out + QString(indent, ' ') + line + '\n';
}

// "help COMMAND" and "COMMAND --help": that command's use and options only.
int CommandHelp(const QString& command, const QList<QCommandLineOption>& flashOptions) {
    QString text;
    if (command == "list") {
        text = "Usage: flashwright-cli list\n\n" +
               Wrap("The serial ports the wizard would offer, one a line as COMn and its "
                    "device (\"(In Use)\" when another program holds it), then the USB "
                    "converters as description : serial number. Exit code 1 when the "
                    "converter driver cannot be loaded.",
                    0);
    } else if (command == "check") {
        text = "Usage: flashwright-cli check FILE\n\n" +
               Wrap("Checks a Motorola S-record firmware file as a run does before the first "
                    "byte goes out, without touching a port, and prints its size, records, "
                    "addresses and SHA-256. Exit code 0 when a run would accept the file, 1 "
                    "when it would refuse it (the line and the fault on standard error).",
                    0);
    } else if (command == "flash") {
        text = "Usage: flashwright-cli flash [options]\n\n" +
               Wrap("One run of the chosen operations over the stored or given connection. "
                    "What is not given comes from the wizard's stored settings. With more "
                    "than one analyser (--port, --usb, --address given more than once, or "
                    "--analysers) each gets its own run of the same file and operations, "
                    "all at once, then a table of how each ended; exit code 0 when every "
                    "one ended OK, 1 when any did not.",
                    0) +
               "\nOptions:\n";
        for (const QCommandLineOption& o : flashOptions) {
            QString name = "  --" + o.names().first();
            if (!o.valueName().isEmpty()) {
                name += " " + o.valueName();
            }
            // The general help names the command each option belongs to.
            QString description = o.description();
            description.replace(" (flash)", "").replace("(flash; ", "(");
            text += name + '\n' + Wrap(description, 6);
        }
    } else {
        return Usage("unknown command '" + command + "'");
    }
    std::fputs(qUtf8Printable(text), stdout);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    SetUpConsole();
    // On Windows the arguments come from the wide command line (UTF-16), not
    // from argv in the ANSI code page: argc and argv are handed on unchanged.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("flashwright-cli");
    QCoreApplication::setApplicationVersion(FW_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("command", "list, check, flash or help");
    parser.addPositionalArgument("file", "the firmware file to check (check only)", "[FILE]");
    const QCommandLineOption type("type", "Connection type: COM, USB or TCP (flash).", "TYPE");
    const QCommandLineOption port(
        "port",
        "Serial port: N or COMn, or a device path such as /dev/ttyUSB0 (flash; with --save the "
        "path is registered under a free COM number).",
        "PORT");
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
    const QCommandLineOption analysers(
        "analysers",
        "A file naming one analyser a line: COM7, 7, /dev/ttyUSB3, usb:SERIAL, HOST:PORT or "
        "rfc2217://HOST:PORT; # starts a comment (flash).",
        "FILE");
    const QCommandLineOption jobs(
        "jobs", "With several analysers, at most N runs at a time (flash; default: all).", "N");
    const QCommandLineOption sha256(
        "sha256",
        "Refuse a firmware file whose SHA-256 is not HEX, before any analyser is touched (flash).",
        "HEX");
    const QCommandLineOption watch(
        "watch", "Flash every serial port (with --type USB: converter) that appears, once each "
                 "time it is plugged in, until Ctrl-C; then the table (flash).");
    const QList<QCommandLineOption> flashOptions{
        type, port, usb, address, file, ops, save, json, timeout, analysers, jobs, sha256, watch};
    parser.addOptions(flashOptions);

    if (!parser.parse(QCoreApplication::arguments())) {
        return Usage(parser.errorText());
    }
    const QStringList args = parser.positionalArguments();
    if (!args.isEmpty() && args.first() == "help") {
        if (args.size() == 1) {
            return Help(parser);
        }
        if (args.size() != 2) {
            return Usage("'help' takes one command: list, check or flash");
        }
        return CommandHelp(args.at(1), flashOptions);
    }
    if (parser.isSet("help")) {
        if (!args.isEmpty()) {
            return CommandHelp(args.first(), flashOptions);
        }
        return Help(parser);
    }
    if (parser.isSet("version")) {
        std::printf("flashwright-cli %s\n", FW_VERSION);
        return kExitOk;
    }

    if (args.isEmpty()) {
        return Usage("a command is needed: list, check or flash");
    }
    const QString command = args.first();
    const bool flashOptionGiven =
        std::any_of(flashOptions.begin(), flashOptions.end(),
                    [&parser](const QCommandLineOption& o) { return parser.isSet(o); });
    if (command != "flash" && flashOptionGiven) {
        return Usage("the options --type, --port, --usb, --address, --analysers, --file, --ops, "
                     "--save, --json, --timeout, --jobs and --sha256 belong to 'flash'");
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
    const QStringList ports = parser.values(port);
    const QStringList usbs = parser.values(usb);
    const QStringList addresses = parser.values(address);
    const bool batch = parser.isSet(analysers) || parser.isSet(jobs) ||
                       ports.size() + usbs.size() + addresses.size() > 1;
    if (batch) {
        if (parser.isSet(type)) {
            return Usage("--type is for one analyser; with several, each takes its type from "
                         "how it is named (N or COMn, usb:SERIAL, HOST:PORT)");
        }
        if (parser.isSet(save)) {
            return Usage("--save stores one analyser's connection; it cannot be given with "
                         "several");
        }
        for (const QString& text : ports) {
            const std::optional<Analyser> a = SerialAnalyser(PortText(text).toStdString());
            if (!a || (a->portDevice && !fw::PortsByDevicePath())) {
                return Usage("--port must be a number from 1 to 255, COMn or a device path");
            }
            options.analysers.push_back(*a);
        }
        for (const QString& text : usbs) {
            const std::optional<Analyser> a = UsbAnalyser(text.toStdString());
            if (!a) {
                return Usage("--usb needs the converter's serial number");
            }
            options.analysers.push_back(*a);
        }
        for (const QString& text : addresses) {
            const std::optional<Analyser> a = NetAnalyser(text.toStdString());
            if (!a) {
                return Usage("--address must be HOST:PORT or rfc2217://HOST:PORT");
            }
            options.analysers.push_back(*a);
        }
        if (parser.isSet(analysers)) {
            const AnalysersFile listed = ReadAnalysersFile(parser.value(analysers).toStdString());
            if (!listed.error.empty()) {
                return Usage(QString::fromStdString(listed.error));
            }
            options.analysers.insert(options.analysers.end(), listed.analysers.begin(),
                                     listed.analysers.end());
        }
        for (const Analyser& a : options.analysers) {
            if (a.portDevice && !fw::PortsByDevicePath()) {
                return Usage(QString::fromStdString(a.name + ": this system names its serial "
                                                             "ports COMn, not by a device path"));
            }
        }
        for (auto a = options.analysers.begin(); a != options.analysers.end(); ++a) {
            if (std::any_of(options.analysers.begin(), a,
                            [&a](const Analyser& b) { return b.name == a->name; })) {
                return Usage(QString::fromStdString(fw::Printable(a->name) + " is named twice"));
            }
        }
        if (options.analysers.empty()) {
            return Usage("--jobs needs the analysers: --port, --usb, --address or --analysers");
        }
        if (parser.isSet(jobs)) {
            options.jobs = ParseJobs(parser.value(jobs).toStdString());
            if (!options.jobs) {
                return Usage("--jobs must be a whole number from 1 up");
            }
        }
    } else {
        if (parser.isSet(type)) {
            options.type = ParseType(parser.value(type).toStdString());
            if (!options.type) {
                return Usage("--type must be COM, USB or TCP");
            }
        }
        if (parser.isSet(port)) {
            const std::string text = PortText(parser.value(port)).toStdString();
            if (text.find('/') != std::string::npos && fw::PortsByDevicePath()) {
                options.portDevice = ParsePortDevice(text);
                if (!options.portDevice) {
                    return Usage(
                        "--port takes a device by its absolute path, such as /dev/ttyUSB0");
                }
            } else {
                options.port = ParsePort(text);
                if (!options.port) {
                    return Usage("--port must be a number from 1 to 255, COMn or a device path");
                }
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
    }
    if (parser.isSet(file)) {
        const std::string path = parser.value(file).toStdString();
        if (path.empty()) {
            return Usage("--file needs a path");
        }
        options.file = AbsolutePath(path);
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
    if (parser.isSet(sha256)) {
        options.sha256 = ParseSha256(parser.value(sha256).toStdString());
        if (!options.sha256) {
            return Usage("--sha256 must be 64 hex digits");
        }
    }
    options.save = parser.isSet(save);
    options.json = parser.isSet(json);
    if (parser.isSet(watch)) {
        if (batch || options.port || options.portDevice || options.usb || options.address ||
            options.save) {
            return Usage("--watch flashes the ports that appear; it takes no --port, --usb, "
                         "--address, --analysers, --jobs or --save");
        }
    }
    const int code = parser.isSet(watch) ? WatchCommand(options)
                     : batch             ? BatchCommand(options)
                                         : FlashCommand(options);
    // Every run has ended and is on record: a device server's name lookup
    // that was never answered holds no exit.
    fw::ExitWithoutWaitingForLookups(code);
    return code;
}
