// analyser-sim: plays the analyser's bootloader on a pseudo-terminal, so the
// wizard can run a complete update without hardware. The slave side of the
// pty is registered as a COM port; the protocol itself lives in
// AnalyserProtocol, this file only moves bytes at line speed.
#include "settings/FileRegistry.h"
#include "settings/Text.h"
#include "settings/UsefulUtils.h"
#include "tools/AnalyserProtocol.h"
#include "tools/Pacer.h"

#include "FlashwrightVersion.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <getopt.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

using fw::sim::Clock;

int g_wake[2] = {-1, -1}; // self-pipe: the signal handler wakes poll() through it

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = write(g_wake[1], &c, 1);
}

struct Options {
    fw::sim::ProtocolOptions protocol;
    std::string registry; // empty: the default registry file
    long com = 99;
    bool registerPort = true;
    bool exitAfterRun = false;
    long baud = 38400;
    bool verbose = false;
    fw::sim::Millis vanishMs{0}; // 0: the device stays through a reset
};

const char* const kUsage = R"(usage: analyser-sim [options]
Plays the analyser's bootloader on a pseudo-terminal and registers it as a COM port.
  --registry FILE        registry file to register the port in (default: the wizard's)
  --com N                COM port number to register (default 99)
  --no-register          do not register the port
  --bootloader-version X.Y
                         bootloader version in the banner (default 1.2; 1.1: text
                         records); "--version X.Y" is read the same way
  --version              print the program's version and exit
  --baud N               line speed, 10 bits a byte (default 38400; 0: unpaced)
  --reboot-ms N          restart time after the reset request (default 50)
  --erase-ms N           time an erase takes (default 100)
  --out FILE             write the received image as S-records on RUNANYWAY
  --exit-after-run       exit after RUNANYWAY
  --start-in-bootloader  start in the bootloader, as if "###" had been received
  --strict-form          fail records not in the version's form (text/binary)
  --checksum-fail        answer the first "@" with "Checksum Fail" and the banner
  --split-banner         send the banner in two writes, cut inside "Bootloader"
  --reject-record K      answer "Sx Fail " to the K-th record
  --unknown-verdict K    answer "Sx Error" to the K-th record
  --verdict-delay-ms N   answer each record N ms after it arrived
  --verdicts-at-once N   hold every verdict until no record has come for N ms, then
                         send them all in one write; replies are then unpaced
  --withhold-last K      hold every acknowledgement back by K records; drop the held
                         ones on RUNANYWAY
  --verdicts-twice       answer every record twice
  --flood-after-reject N send N bytes of filler right after a rejected record
  --vanish-ms N          on the reset request the device goes away for N ms and
                         comes back on a new pty, registered under the same port
  --silent               read everything, answer nothing
  --garbage              random bytes (also above 127) ahead of every reply
  --garbage-only         random bytes instead of every reply
  --seed N               seed for the random bytes (default: random)
  --verbose              log what is received and answered to stderr
)";

bool ParseNumber(const char* text, long low, long& value) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low) {
        return false;
    }
    value = v;
    return true;
}

// What an option sets: a member of the options or of their protocol part.
using Protocol = fw::sim::ProtocolOptions;
template <typename T> T& Field(Options& o, T Options::*member) {
    return o.*member;
}
template <typename T> T& Field(Options& o, T Protocol::*member) {
    return o.protocol.*member;
}

// The setters the options use: a switch turns its member on, a text or a number
// is stored in it.
using Setter = void (*)(Options& o, const char* text, long number);
template <auto member> void On(Options& o, const char*, long) {
    Field(o, member) = true;
}
template <auto member> void Text(Options& o, const char* text, long) {
    Field(o, member) = text;
}
template <auto member> void Number(Options& o, const char*, long number) {
    auto& field = Field(o, member);
    field = static_cast<std::remove_reference_t<decltype(field)>>(number);
}

// An option as getopt_long takes it, and its setter. A number is at least
// `low` and at most INT_MAX (kNoNumber: the option takes none). The three
// without a setter are ParseOptions' own.
struct Setting {
    const char* name;
    int argument; // no_argument, required_argument or optional_argument
    long low;
    Setter set;
};
constexpr long kNoNumber = -1;

// In the order of the usage text, which is also the order in which an
// ambiguous abbreviation's candidates are listed.
const Setting kSettings[] = {
    {"registry", required_argument, kNoNumber, Text<&Options::registry>},
    {"com", required_argument, 1, Number<&Options::com>},
    {"no-register", no_argument, kNoNumber,
     [](Options& o, const char*, long) { o.registerPort = false; }},
    {"version", optional_argument, kNoNumber, nullptr},
    {"bootloader-version", required_argument, kNoNumber, nullptr},
    {"baud", required_argument, 0, Number<&Options::baud>},
    {"reboot-ms", required_argument, 0, Number<&Protocol::rebootDelay>},
    {"erase-ms", required_argument, 0, Number<&Protocol::eraseDelay>},
    {"out", required_argument, kNoNumber, Text<&Protocol::outPath>},
    {"exit-after-run", no_argument, kNoNumber, On<&Options::exitAfterRun>},
    {"start-in-bootloader", no_argument, kNoNumber, On<&Protocol::startInBootloader>},
    {"strict-form", no_argument, kNoNumber, On<&Protocol::strictForm>},
    {"checksum-fail", no_argument, kNoNumber, On<&Protocol::checksumFail>},
    {"split-banner", no_argument, kNoNumber, On<&Protocol::splitBanner>},
    {"reject-record", required_argument, 1, Number<&Protocol::rejectRecord>},
    {"unknown-verdict", required_argument, 1, Number<&Protocol::unknownVerdict>},
    {"withhold-last", required_argument, 0, Number<&Protocol::withholdLast>},
    {"verdicts-twice", no_argument, kNoNumber, On<&Protocol::verdictsTwice>},
    {"verdict-delay-ms", required_argument, 0, Number<&Protocol::verdictDelay>},
    {"verdicts-at-once", required_argument, 1, Number<&Protocol::verdictsAtOnce>},
    {"flood-after-reject", required_argument, 1, Number<&Protocol::floodAfterReject>},
    {"vanish-ms", required_argument, 1, Number<&Options::vanishMs>},
    {"silent", no_argument, kNoNumber, On<&Protocol::silent>},
    {"garbage", no_argument, kNoNumber, On<&Protocol::garbage>},
    {"garbage-only", no_argument, kNoNumber, On<&Protocol::garbageOnly>},
    {"seed", required_argument, 0, Number<&Protocol::seed>},
    {"verbose", no_argument, kNoNumber, On<&Options::verbose>},
    {"help", no_argument, kNoNumber, nullptr},
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    // getopt_long answers with the setting's index plus kFirst.
    constexpr int kFirst = 256;
    std::vector<option> longOptions;
    for (const Setting& s : kSettings) {
        longOptions.push_back(
            {s.name, s.argument, nullptr, kFirst + static_cast<int>(longOptions.size())});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    Options o;
    o.protocol.seed = std::random_device{}();
    // "+": no reordering, so that the word after --version can be looked at.
    for (int c; (c = getopt_long(argc, argv, "+", longOptions.data(), nullptr)) != -1;) {
        if (c < kFirst || c >= kFirst + static_cast<int>(std::size(kSettings))) {
            std::cerr << kUsage;
            return std::nullopt;
        }
        const Setting& setting = kSettings[c - kFirst];
        const std::string_view name = setting.name;
        if (name == "help") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (name == "version") {
            // "--version X.Y" and "--version=X.Y" are the bootloader's version
            // as scripts wrote it before --bootloader-version; alone, the
            // program's own.
            if (optarg == nullptr && optind < argc && argv[optind][0] != '-') {
                optarg = argv[optind++];
            }
            if (optarg == nullptr) {
                std::cout << "analyser-sim " << FW_VERSION << "\n";
                std::exit(0);
            }
        }
        if (setting.set == nullptr) { // --bootloader-version, or --version X.Y
            // Digits only: the wizard reads the version between the last "V",
            // the "." and "Boot", and any further capital V would mislead it.
            if (!std::regex_match(optarg, std::regex("[0-9]{1,4}\\.[0-9]{1,4}"))) {
                std::cerr << "analyser-sim: --bootloader-version wants X.Y, digits only\n";
                return std::nullopt;
            }
            o.protocol.version = optarg;
            continue;
        }
        long n = 0;
        if (setting.low != kNoNumber && (!ParseNumber(optarg, setting.low, n) || n > INT_MAX)) {
            std::cerr << "analyser-sim: bad number \"" << optarg << "\"\n";
            return std::nullopt;
        }
        setting.set(o, optarg, n);
    }
    if (optind < argc) {
        std::cerr << "analyser-sim: unexpected argument \"" << argv[optind] << "\"\n" << kUsage;
        return std::nullopt;
    }
    return o;
}

void Fail(const char* what) {
    std::cerr << "analyser-sim: " << what << ": " << std::strerror(errno) << "\n";
}

// Opens a pty pair with a raw line discipline. `slave` stays open for the
// life of the program: without it the master reports a hang-up each time the
// wizard closes the port, and the line settings would be lost in between.
bool OpenPty(int& master, int& slave, std::string& path) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        Fail("cannot open a pseudo-terminal");
        return false;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        Fail("ptsname");
        return false;
    }
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        Fail(name);
        return false;
    }
    termios t{};
    if (tcgetattr(slave, &t) != 0) {
        Fail("tcgetattr");
        return false;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    if (tcsetattr(slave, TCSANOW, &t) != 0) {
        Fail("tcsetattr");
        return false;
    }
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        Fail("fcntl");
        return false;
    }
    return true;
}

constexpr const char* kPortsKey = "SOFTWARE\\Tarnvel\\Flashwright\\Ports";

std::string RegistryFile(const Options& o) {
    return o.registry.empty() ? fw::DefaultRegistryFile() : o.registry;
}

// The device a Ports value names (string data less its NUL).
std::string DeviceOf(const fw::MemoryRegistry::Value& value) {
    std::string text(value.data.begin(), value.data.end());
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

// Edits the Ports key under the settings file's lock, in one write. A missing
// key is created when `create` holds; otherwise there is nothing to edit.
template <typename Edit> bool EditPorts(fw::FileRegistry& registry, bool create, Edit edit) {
    if (!registry.BeginChanges()) {
        return false;
    }
    const auto root = fw::MemoryRegistry::RootName(fw::HKEY_LOCAL_MACHINE);
    const std::string path = fw::MemoryRegistry::JoinPath(*root, kPortsKey);
    fw::MemoryRegistry::Key* key = registry.FindKey(path);
    if (key == nullptr && create) {
        key = &registry.CreateKey(path);
    }
    if (key != nullptr) {
        edit(*key);
    }
    return registry.EndChanges();
}

// Registers `device` as COM<n>. Entries of simulators that are gone go with it:
// a pseudo-terminal that no longer exists, or one whose number the system has
// given to this device now. Only pseudo-terminals are ours to judge; a user's
// entry for a real port stays whatever it names.
bool RegisterPort(const Options& o, const std::string& device) {
    const std::string file = RegistryFile(o);
    fw::FileRegistry registry(file);
    const std::string name = fw::ComName(o.com);
    const bool ok = EditPorts(registry, true, [&](fw::MemoryRegistry::Key& ports) {
        std::erase_if(ports.values, [&](const fw::MemoryRegistry::Value& v) {
            const std::string named = DeviceOf(v);
            struct stat st {};
            return named.starts_with("/dev/pts/") &&
                   (named == device || (::stat(named.c_str(), &st) != 0 && errno == ENOENT));
        });
        std::vector<std::uint8_t> data(device.begin(), device.end());
        data.push_back(0);
        fw::MemoryRegistry::StoreValue(ports, name, fw::REG_SZ, std::move(data));
    });
    if (!ok) {
        std::cerr << "analyser-sim: cannot register " << name << " in " << file << "\n";
    }
    return ok;
}

// Takes the registration back when the simulator ends, unless the value has
// since been given to another device.
void UnregisterPort(const Options& o, const std::string& device) {
    fw::FileRegistry registry(RegistryFile(o));
    const std::string name = fw::MemoryRegistry::Lower(fw::ComName(o.com));
    const bool ok = EditPorts(registry, false, [&](fw::MemoryRegistry::Key& ports) {
        std::erase_if(ports.values, [&](const fw::MemoryRegistry::Value& v) {
            return fw::MemoryRegistry::Lower(v.name) == name && DeviceOf(v) == device;
        });
    });
    if (!ok) {
        std::cerr << "analyser-sim: cannot remove COM" << o.com << " from " << RegistryFile(o)
                  << "\n";
    }
}

// The device goes away (as a USB serial interface does while its analyser
// restarts) and comes back as a new pty under the same port number. While it
// is gone its port names no device, as a converter's node goes with it: the
// freed pty number may be taken by another program meanwhile, and a link that
// reopens the port must not find that one.
bool Vanish(const Options& o, int& master, int& slave, std::string& device) {
    if (o.registerPort) {
        UnregisterPort(o, device);
    }
    close(slave);
    close(master);
    if (o.verbose) {
        std::cerr << "analyser-sim: device " << device << " gone for " << o.vanishMs.count()
                  << " ms\n";
    }
    std::this_thread::sleep_for(o.vanishMs);
    if (!OpenPty(master, slave, device) || (o.registerPort && !RegisterPort(o, device))) {
        return false;
    }
    if (o.verbose) {
        std::cerr << "analyser-sim: device " << device << " back\n";
    }
    return true;
}

int Serve(const Options& o, int& master, int& slave, std::string& device) {
    fw::sim::AnalyserProtocol protocol(
        o.protocol,
        [&o](bool important, const std::string& text) {
            if (important || o.verbose) {
                std::cerr << "analyser-sim: " << text << "\n";
            }
        },
        Clock::now());
    fw::sim::Pacer readPace(o.baud, Clock::now());
    // Held verdicts go out as one block, as a serial server hands over its
    // buffer: the replies are then not held to the line's speed.
    fw::sim::Pacer writePace(o.protocol.verdictsAtOnce.count() > 0 ? 0 : o.baud, Clock::now());
    std::deque<std::string> out; // whole replies; one never shares a write() with the next
    std::size_t outDone = 0;     // bytes of out.front() already written
    bool writeBlocked = false;   // the slave's input queue is full
    bool hungUp = false;
    unsigned resets = 0;
    char buffer[4096];

    for (;;) {
        if (o.vanishMs.count() > 0 && protocol.ResetCount() != resets) {
            resets = protocol.ResetCount();
            if (!Vanish(o, master, slave, device)) {
                return 1;
            }
            out.clear();
            outDone = 0;
            writeBlocked = hungUp = false;
        }
        auto now = Clock::now();
        for (auto& reply : protocol.TakeDue(now)) {
            out.push_back(std::move(reply));
        }
        while (!out.empty() && !writeBlocked) {
            const std::size_t allowed = writePace.Available(now);
            if (allowed == 0) {
                break;
            }
            const std::string& front = out.front();
            const std::size_t n = std::min(allowed, front.size() - outDone);
            const ssize_t written = write(master, front.data() + outDone, n);
            if (written < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    Fail("write");
                    return 1;
                }
                writeBlocked = errno != EINTR;
                break;
            }
            writePace.Consume(static_cast<std::size_t>(written));
            outDone += static_cast<std::size_t>(written);
            if (outDone == front.size()) {
                out.pop_front();
                outDone = 0;
            }
        }
        if (o.exitAfterRun && protocol.RunCount() > 0 && out.empty() && !protocol.NextDue()) {
            return 0;
        }

        // Sleep until input may be read, output may be written or a reply
        // falls due, whichever comes first.
        std::optional<Clock::time_point> wake;
        auto consider = [&wake](Clock::time_point t) {
            if (!wake || t < *wake) {
                wake = t;
            }
        };
        if (const auto due = protocol.NextDue()) {
            consider(*due);
        }
        const bool mayRead = readPace.Available(now) > 0 && !hungUp;
        if (!mayRead) {
            consider(hungUp ? now + fw::sim::Millis(50) : readPace.NextByte(now));
        }
        if (!out.empty() && !writeBlocked) {
            consider(writePace.NextByte(now));
        }
        int timeout = -1;
        if (wake) {
            const auto ms = std::chrono::ceil<fw::sim::Millis>(*wake - now).count();
            timeout = static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
        }
        // After a hang-up the master is left out of one round: poll() would
        // report it again at once.
        const bool backOff = hungUp;
        hungUp = false;
        pollfd fds[2] = {
            {backOff ? -1 : master,
             static_cast<short>((mayRead ? POLLIN : 0) | (writeBlocked ? POLLOUT : 0)), 0},
            {g_wake[0], POLLIN, 0},
        };
        if (poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("poll");
            return 1;
        }
        if (fds[1].revents != 0) {
            return 0; // SIGTERM or SIGINT
        }
        if (fds[0].revents & POLLOUT) {
            writeBlocked = false;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            now = Clock::now();
            const std::size_t want = std::min(sizeof buffer, readPace.Available(now));
            const ssize_t got = want > 0 ? read(master, buffer, want) : 0;
            if (got > 0) {
                readPace.Consume(static_cast<std::size_t>(got));
                protocol.Receive(std::string_view(buffer, static_cast<std::size_t>(got)), now);
            } else if ((fds[0].revents & (POLLHUP | POLLERR)) ||
                       (got < 0 && errno != EAGAIN && errno != EINTR)) {
                hungUp = true; // EIO with no slave open; back off instead of spinning
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    // Non-blocking, so that a burst of signals can never stall the handler.
    if (pipe(g_wake) != 0 || fcntl(g_wake[1], F_SETFL, O_NONBLOCK) != 0) {
        Fail("pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGHUP, SIG_IGN);

    int master = -1;
    int slave = -1;
    std::string device;
    if (!OpenPty(master, slave, device)) {
        return 1;
    }
    if (options->registerPort && !RegisterPort(*options, device)) {
        return 1;
    }
    std::cout << "analyser-sim: device " << device;
    if (options->registerPort) {
        std::cout << " port COM" << options->com;
    }
    std::cout << std::endl;

    const int rc = Serve(*options, master, slave, device);
    close(slave);
    close(master);
    if (options->registerPort) {
        UnregisterPort(*options, device);
    }
    return rc;
}
