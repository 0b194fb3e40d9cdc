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
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

std::optional<Options> ParseOptions(int argc, char** argv) {
    enum {
        kRegistry = 256,
        kCom,
        kNoRegister,
        kVersion,
        kBootloaderVersion,
        kBaud,
        kRebootMs,
        kEraseMs,
        kOut,
        kExitAfterRun,
        kStartInBootloader,
        kStrictForm,
        kChecksumFail,
        kSplitBanner,
        kRejectRecord,
        kUnknownVerdict,
        kWithholdLast,
        kVerdictsTwice,
        kVerdictDelayMs,
        kVerdictsAtOnce,
        kFloodAfterReject,
        kVanishMs,
        kSilent,
        kGarbage,
        kGarbageOnly,
        kSeed,
        kVerbose,
        kHelp
    };
    static const option kLong[] = {
        {"registry", required_argument, nullptr, kRegistry},
        {"com", required_argument, nullptr, kCom},
        {"no-register", no_argument, nullptr, kNoRegister},
        {"version", optional_argument, nullptr, kVersion},
        {"bootloader-version", required_argument, nullptr, kBootloaderVersion},
        {"baud", required_argument, nullptr, kBaud},
        {"reboot-ms", required_argument, nullptr, kRebootMs},
        {"erase-ms", required_argument, nullptr, kEraseMs},
        {"out", required_argument, nullptr, kOut},
        {"exit-after-run", no_argument, nullptr, kExitAfterRun},
        {"start-in-bootloader", no_argument, nullptr, kStartInBootloader},
        {"strict-form", no_argument, nullptr, kStrictForm},
        {"checksum-fail", no_argument, nullptr, kChecksumFail},
        {"split-banner", no_argument, nullptr, kSplitBanner},
        {"reject-record", required_argument, nullptr, kRejectRecord},
        {"unknown-verdict", required_argument, nullptr, kUnknownVerdict},
        {"withhold-last", required_argument, nullptr, kWithholdLast},
        {"verdicts-twice", no_argument, nullptr, kVerdictsTwice},
        {"verdict-delay-ms", required_argument, nullptr, kVerdictDelayMs},
        {"verdicts-at-once", required_argument, nullptr, kVerdictsAtOnce},
        {"flood-after-reject", required_argument, nullptr, kFloodAfterReject},
        {"vanish-ms", required_argument, nullptr, kVanishMs},
        {"silent", no_argument, nullptr, kSilent},
        {"garbage", no_argument, nullptr, kGarbage},
        {"garbage-only", no_argument, nullptr, kGarbageOnly},
        {"seed", required_argument, nullptr, kSeed},
        {"verbose", no_argument, nullptr, kVerbose},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    o.protocol.seed = std::random_device{}();
    long n = 0;
    auto number = [&](long low) {
        if (!ParseNumber(optarg, low, n) || n > INT_MAX) {
            std::cerr << "analyser-sim: bad number \"" << optarg << "\"\n";
            return false;
        }
        return true;
    };
    // "+": no reordering, so that the word after --version can be looked at.
    for (int c; (c = getopt_long(argc, argv, "+", kLong, nullptr)) != -1;) {
        switch (c) {
        case kRegistry:
            o.registry = optarg;
            break;
        case kCom:
            if (!number(1)) {
                return std::nullopt;
            }
            o.com = n;
            break;
        case kNoRegister:
            o.registerPort = false;
            break;
        case kVersion:
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
            [[fallthrough]];
        case kBootloaderVersion:
            // Digits only: the wizard reads the version between the last "V",
            // the "." and "Boot", and any further capital V would mislead it.
            if (!std::regex_match(optarg, std::regex("[0-9]{1,4}\\.[0-9]{1,4}"))) {
                std::cerr << "analyser-sim: --bootloader-version wants X.Y, digits only\n";
                return std::nullopt;
            }
            o.protocol.version = optarg;
            break;
        case kBaud:
            if (!number(0)) {
                return std::nullopt;
            }
            o.baud = n;
            break;
        case kRebootMs:
            if (!number(0)) {
                return std::nullopt;
            }
            o.protocol.rebootDelay = fw::sim::Millis(n);
            break;
        case kEraseMs:
            if (!number(0)) {
                return std::nullopt;
            }
            o.protocol.eraseDelay = fw::sim::Millis(n);
            break;
        case kOut:
            o.protocol.outPath = optarg;
            break;
        case kExitAfterRun:
            o.exitAfterRun = true;
            break;
        case kStartInBootloader:
            o.protocol.startInBootloader = true;
            break;
        case kStrictForm:
            o.protocol.strictForm = true;
            break;
        case kChecksumFail:
            o.protocol.checksumFail = true;
            break;
        case kSplitBanner:
            o.protocol.splitBanner = true;
            break;
        case kRejectRecord:
            if (!number(1)) {
                return std::nullopt;
            }
            o.protocol.rejectRecord = static_cast<unsigned>(n);
            break;
        case kUnknownVerdict:
            if (!number(1)) {
                return std::nullopt;
            }
            o.protocol.unknownVerdict = static_cast<unsigned>(n);
            break;
        case kWithholdLast:
            if (!number(0)) {
                return std::nullopt;
            }
            o.protocol.withholdLast = static_cast<unsigned>(n);
            break;
        case kVerdictsTwice:
            o.protocol.verdictsTwice = true;
            break;
        case kVerdictDelayMs:
            if (!number(0)) {
                return std::nullopt;
            }
            o.protocol.verdictDelay = fw::sim::Millis(n);
            break;
        case kVerdictsAtOnce:
            if (!number(1)) {
                return std::nullopt;
            }
            o.protocol.verdictsAtOnce = fw::sim::Millis(n);
            break;
        case kFloodAfterReject:
            if (!number(1)) {
                return std::nullopt;
            }
            o.protocol.floodAfterReject = static_cast<std::size_t>(n);
            break;
        case kVanishMs:
            if (!number(1)) {
                return std::nullopt;
            }
            o.vanishMs = fw::sim::Millis(n);
            break;
        case kSilent:
            o.protocol.silent = true;
            break;
        case kGarbage:
            o.protocol.garbage = true;
            break;
        case kGarbageOnly:
            o.protocol.garbageOnly = true;
            break;
        case kSeed:
            if (!number(0)) {
                return std::nullopt;
            }
            o.protocol.seed = static_cast<std::uint32_t>(n);
            break;
        case kVerbose:
            o.verbose = true;
            break;
        case kHelp:
            std::cout << kUsage;
            std::exit(0);
        default:
            std::cerr << kUsage;
            return std::nullopt;
        }
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
