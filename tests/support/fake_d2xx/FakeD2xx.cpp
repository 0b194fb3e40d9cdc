// The fake converter library: scripted devices behind the library's FT_*
// exports. Build with FAKE_D2XX_WITHOUT_GET_STATUS to leave FT_GetStatus out,
// or FAKE_D2XX_WITHOUT_READ to leave out FT_Read and FT_Purge, as an older or
// broken library might.
#define FAKE_D2XX_BUILD
#include "tests/support/fake_d2xx/FakeD2xx.h"
#include "tests/support/fake_d2xx/FakeD2xxLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#define FAKE_D2XX_CALL __stdcall
#else
#define FAKE_D2XX_CALL
#endif
// The library's exports, with its calling convention.
#define FT_EXPORT(type) FAKE_D2XX_API type FAKE_D2XX_CALL

namespace {

using Status = std::uint32_t; // the library's FT_STATUS (ULONG)
using Dword = std::uint32_t;

constexpr Status kOk = 0;
constexpr Status kInvalidHandle = 1;
constexpr Status kDeviceNotFound = 2;
constexpr Status kDeviceNotOpened = 3;
constexpr Status kIoError = 4;
constexpr Status kInvalidParameter = 6;
constexpr Dword kListNumberOnly = 0x80000000u;
constexpr Dword kListByIndex = 0x40000000u;
constexpr Dword kOpenBySerialNumber = 1;
constexpr Dword kOpenByDescription = 2;
// Texts listed by index fill at most this many bytes, the end included, as the
// vendor's library does.
constexpr std::size_t kListedTextSize = 64;

struct Device {
    std::string description;
    std::string serial;
    std::string linePath;
    std::deque<unsigned char> input;
    std::string output;
    unsigned txQueue = 0;
    unsigned events = 0;
};

struct Opened {
    int device; // index
    std::unique_ptr<fake_d2xx::Line> line;
};

struct State {
    std::vector<Device> devices;
    std::map<std::string, Status> failing;
    std::set<Opened*> opened;
    std::string log;
    std::string taken;
    unsigned writeLimit = ~0u;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    // Devices whose scripted close failed are still open when the program ends.
    ~State() {
        for (Opened* o : opened)
            delete o;
    }
};

// A program that does not script the fake (the installed wizard) gets one
// device from FAKE_D2XX_DEVICE="description|serial|line".
void AddDeviceFromEnvironment(State& s) {
    const char* given = std::getenv("FAKE_D2XX_DEVICE");
    const std::string text = given != nullptr ? given : "";
    const std::size_t a = text.find('|');
    const std::size_t b = a == std::string::npos ? a : text.find('|', a + 1);
    if (b != std::string::npos)
        s.devices.push_back(Device{
            text.substr(0, a), text.substr(a + 1, b - a - 1), text.substr(b + 1), {}, {}, 0, 0});
}

State& S() {
    static State state;
    static const bool seeded = (AddDeviceFromEnvironment(state), true);
    (void)seeded;
    return state;
}

// Logs the call; the status it is scripted to fail with, if any.
std::optional<Status> Failing(const char* function, const std::string& args) {
    State& s = S();
    s.log += std::string(function) + (args.empty() ? "" : " ") + args + "\n";
    const auto it = s.failing.find(function);
    return it == s.failing.end() ? std::nullopt : std::optional<Status>(it->second);
}

Opened* Find(void* handle) {
    Opened* opened = static_cast<Opened*>(handle);
    return S().opened.count(opened) != 0 ? opened : nullptr;
}

Device* DeviceOf(Opened* opened) {
    return opened ? &S().devices.at(static_cast<std::size_t>(opened->device)) : nullptr;
}

// The device by its index and the arguments, as the log shows them.
template <typename... Args> std::string Logged(void* handle, Args... args) {
    const Opened* opened = Find(handle);
    std::string text = opened == nullptr ? "dev=?" : "dev=" + std::to_string(opened->device);
    ((text += " " + std::to_string(args)), ...);
    return text;
}

// A call on a handle, logged: the status it is scripted to fail with, else
// kInvalidHandle for a handle not open, else kOk with the device.
struct Entered {
    Status status;
    Opened* opened;
    Device* device;
};
template <typename... Args> Entered Enter(const char* function, void* handle, Args... args) {
    if (const auto failed = Failing(function, Logged(handle, args...)))
        return {*failed, nullptr, nullptr};
    Opened* opened = Find(handle);
    return {opened != nullptr ? kOk : kInvalidHandle, opened, DeviceOf(opened)};
}

std::string Hex(Dword value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 28; shift >= 0; shift -= 4)
        text += digits[(value >> shift) & 0xF];
    return text;
}

} // namespace

// --- The library's functions ------------------------------------------------------

FT_EXPORT(Status) FT_ListDevices(void* arg1, void* arg2, Dword flags) {
    State& s = S();
    const bool byIndex = (flags & kListByIndex) != 0;
    const Dword index = static_cast<Dword>(reinterpret_cast<std::uintptr_t>(arg1));
    if (const auto failed =
            Failing("FT_ListDevices", (byIndex ? std::to_string(index) + " " : "") + Hex(flags)))
        return *failed;
    if (flags == kListNumberOnly) {
        *static_cast<Dword*>(arg1) = static_cast<Dword>(s.devices.size());
        return kOk;
    }
    const Dword what = flags & ~kListByIndex;
    if (!byIndex || (what != kOpenBySerialNumber && what != kOpenByDescription))
        return kInvalidParameter;
    if (index >= s.devices.size())
        return kDeviceNotFound;
    const Device& d = s.devices[index];
    const std::string& text = what == kOpenBySerialNumber ? d.serial : d.description;
    const std::size_t n = std::min(text.size(), kListedTextSize - 1);
    std::memcpy(arg2, text.data(), n);
    static_cast<char*>(arg2)[n] = '\0';
    return kOk;
}

FT_EXPORT(Status) FT_Open(int deviceNumber, void** handle) {
    State& s = S();
    if (const auto failed = Failing("FT_Open", std::to_string(deviceNumber)))
        return *failed;
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= s.devices.size())
        return kDeviceNotFound;
    auto opened = std::make_unique<Opened>();
    opened->device = deviceNumber;
    const Device& d = s.devices[static_cast<std::size_t>(deviceNumber)];
    if (!d.linePath.empty() && !(opened->line = fake_d2xx::OpenLine(d.linePath)))
        return kDeviceNotOpened;
    *handle = opened.get();
    s.opened.insert(opened.release());
    return kOk;
}

FT_EXPORT(Status) FT_Close(void* handle) {
    const Entered e = Enter("FT_Close", handle);
    if (e.status == kOk) {
        S().opened.erase(e.opened);
        delete e.opened;
    }
    return e.status;
}

FT_EXPORT(Status) FT_ResetDevice(void* handle) {
    return Enter("FT_ResetDevice", handle).status;
}

FT_EXPORT(Status) FT_SetBaudRate(void* handle, Dword baud) {
    return Enter("FT_SetBaudRate", handle, baud).status;
}

FT_EXPORT(Status)
FT_SetFlowControl(void* handle, std::uint16_t flow, unsigned char xon, unsigned char xoff) {
    return Enter("FT_SetFlowControl", handle, flow, xon, xoff).status;
}

FT_EXPORT(Status)
FT_SetDataCharacteristics(void* handle, unsigned char bits, unsigned char stop,
                          unsigned char parity) {
    return Enter("FT_SetDataCharacteristics", handle, bits, stop, parity).status;
}

#if !defined(FAKE_D2XX_WITHOUT_READ)
FT_EXPORT(Status) FT_Purge(void* handle, Dword mask) {
    const Entered e = Enter("FT_Purge", handle, mask);
    if (e.status == kOk && (mask & 1) != 0)
        e.device->input.clear();
    return e.status;
}
#endif

FT_EXPORT(Status) FT_Write(void* handle, void* buffer, Dword count, Dword* written) {
    const auto [status, opened, d] = Enter("FT_Write", handle, count);
    if (status != kOk)
        return status;
    const unsigned n = std::min(count, S().writeLimit);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (opened->line) {
        unsigned done = 0;
        const bool ok = opened->line->Write(bytes, n, done);
        *written = done;
        return ok ? kOk : kIoError;
    }
    d->output.append(reinterpret_cast<const char*>(bytes), n);
    *written = n;
    return kOk;
}

FT_EXPORT(Status) FT_GetQueueStatus(void* handle, Dword* rxBytes) {
    const auto [status, opened, d] = Enter("FT_GetQueueStatus", handle);
    if (status != kOk)
        return status;
    unsigned rx = static_cast<unsigned>(d->input.size()), tx = 0;
    if (opened->line && !opened->line->Waiting(rx, tx))
        return kIoError;
    *rxBytes = rx;
    return kOk;
}

#if !defined(FAKE_D2XX_WITHOUT_READ)
// Returns what is waiting, up to `count` (the vendor's would wait for the
// rest until its timeout; the program never asks for more than is waiting).
FT_EXPORT(Status) FT_Read(void* handle, void* buffer, Dword count, Dword* got) {
    const auto [status, opened, d] = Enter("FT_Read", handle, count);
    if (status != kOk)
        return status;
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (opened->line) {
        unsigned n = 0;
        const bool ok = opened->line->Read(bytes, count, n);
        *got = n;
        return ok ? kOk : kIoError;
    }
    const std::size_t n = std::min<std::size_t>(count, d->input.size());
    std::copy_n(d->input.begin(), n, bytes);
    d->input.erase(d->input.begin(), d->input.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<Dword>(n);
    return kOk;
}
#endif

#if !defined(FAKE_D2XX_WITHOUT_GET_STATUS)
FT_EXPORT(Status) FT_GetStatus(void* handle, Dword* rxBytes, Dword* txBytes, Dword* events) {
    const auto [status, opened, d] = Enter("FT_GetStatus", handle);
    if (status != kOk)
        return status;
    unsigned rx = static_cast<unsigned>(d->input.size()), tx = d->txQueue;
    if (opened->line && !opened->line->Waiting(rx, tx))
        return kIoError;
    *rxBytes = rx;
    *txBytes = tx;
    *events = d->events;
    return kOk;
}
#endif

// --- Scripting ----------------------------------------------------------------------

FAKE_D2XX_API void FakeD2xx_Reset(void) {
    State& s = S();
    s.devices.clear();
    s.failing.clear();
    s.log.clear();
    s.writeLimit = ~0u;
    for (Opened* opened : s.opened)
        delete opened;
    s.opened.clear();
}

FAKE_D2XX_API int FakeD2xx_AddDevice(const char* description, const char* serial) {
    State& s = S();
    s.devices.push_back(Device{description, serial, {}, {}, {}, 0, 0});
    return static_cast<int>(s.devices.size() - 1);
}

FAKE_D2XX_API void FakeD2xx_Fail(const char* function, unsigned status) {
    if (status == kOk)
        S().failing.erase(function);
    else
        S().failing[function] = status;
}

FAKE_D2XX_API void FakeD2xx_Input(int device, const unsigned char* bytes, unsigned count) {
    auto& input = S().devices.at(static_cast<std::size_t>(device)).input;
    input.insert(input.end(), bytes, bytes + count);
}

FAKE_D2XX_API const char* FakeD2xx_Output(int device, unsigned* size) {
    const std::string& output = S().devices.at(static_cast<std::size_t>(device)).output;
    *size = static_cast<unsigned>(output.size());
    return output.data();
}

FAKE_D2XX_API void FakeD2xx_SetWriteLimit(unsigned count) {
    S().writeLimit = count;
}

FAKE_D2XX_API void FakeD2xx_SetStatus(int device, unsigned txQueue, unsigned events) {
    Device& d = S().devices.at(static_cast<std::size_t>(device));
    d.txQueue = txQueue;
    d.events = events;
}

FAKE_D2XX_API const char* FakeD2xx_TakeLog(void) {
    State& s = S();
    s.taken.swap(s.log);
    s.log.clear();
    return s.taken.c_str();
}

FAKE_D2XX_API int FakeD2xx_OpenCount(void) {
    return static_cast<int>(S().opened.size());
}
