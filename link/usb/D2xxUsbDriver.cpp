#include "link/usb/D2xxUsbDriver.h"

#include <cstdint>
#include <utility>

#if defined(_WIN32)
#include "settings/WinApi.h"
#include "settings/WinText.h"

// The library's calling convention: __stdcall on 32-bit Windows (on x64 there
// is only one convention and the keyword is ignored).
#define FW_D2XX_CALL __stdcall
#else
#include <dlfcn.h>
#define FW_D2XX_CALL
#endif

namespace fw {
namespace {

// The library's own types: DWORD and ULONG (its status) are 32 bits, USHORT
// 16 and UCHAR 8 on every platform it exists for; its handle is a pointer.
using Dword = std::uint32_t;
using Status = std::uint32_t;
using LibHandle = void*;

using ListDevicesFn = Status(FW_D2XX_CALL*)(void* arg1, void* arg2, Dword flags);
using OpenFn = Status(FW_D2XX_CALL*)(int deviceNumber, LibHandle* handle);
using HandleFn = Status(FW_D2XX_CALL*)(LibHandle handle); // FT_ResetDevice, FT_Close
using SetBaudRateFn = Status(FW_D2XX_CALL*)(LibHandle handle, Dword baud);
using SetFlowControlFn = Status(FW_D2XX_CALL*)(LibHandle handle, std::uint16_t flow,
                                               unsigned char xon, unsigned char xoff);
using SetDataCharacteristicsFn = Status(FW_D2XX_CALL*)(LibHandle handle, unsigned char wordLength,
                                                       unsigned char stopBits,
                                                       unsigned char parity);
using PurgeFn = Status(FW_D2XX_CALL*)(LibHandle handle, Dword mask);
using TransferFn = Status(FW_D2XX_CALL*)(LibHandle handle, void* buffer, Dword count,
                                         Dword* done); // FT_Write, FT_Read
using GetQueueStatusFn = Status(FW_D2XX_CALL*)(LibHandle handle, Dword* rxBytes);
using GetStatusFn = Status(FW_D2XX_CALL*)(LibHandle handle, Dword* rxBytes, Dword* txBytes,
                                          Dword* eventStatus);

// Any function pointer, as the loader hands it out (the one type GCC lets
// every function pointer type be cast to and from without a warning).
using AnyFunction = void (*)();

// A loaded shared library / DLL, unloaded with the object.
class SharedLibrary {
public:
    // Empty `error` when it loaded.
    SharedLibrary(const std::string& name, std::string& error) {
#if defined(_WIN32)
        module_ = ::LoadLibraryW(WideFromUtf8(name).c_str());
        if (module_ == nullptr)
            error = LoadFailure(::GetLastError(), name);
#else
        module_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) {
            const char* why = ::dlerror();
            error = why != nullptr ? why : "cannot be loaded";
        }
#endif
    }
    ~SharedLibrary() {
        if (module_ == nullptr)
            return;
#if defined(_WIN32)
        ::FreeLibrary(module_);
#else
        ::dlclose(module_);
#endif
    }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool Loaded() const {
        return module_ != nullptr;
    }

    AnyFunction Find(const char* name) const {
#if defined(_WIN32)
        return reinterpret_cast<AnyFunction>(::GetProcAddress(module_, name));
#else
        return reinterpret_cast<AnyFunction>(::dlsym(module_, name));
#endif
    }

private:
#if defined(_WIN32)
    static std::string LoadFailure(DWORD code, const std::string& name) {
        if (code == ERROR_BAD_EXE_FORMAT) {
            // Found, but built for the other kind of Windows: a 64-bit
            // program cannot load a 32-bit library, nor the other way round.
            const std::string bits = sizeof(void*) == 8 ? "64" : "32";
            return "it is not a " + bits + "-bit library, which this " + bits +
                   "-bit program needs; install the " + bits +
                   "-bit driver of the USB converter from its maker";
        }
        return SystemMessage(code, name);
    }
    HMODULE module_ = nullptr;
#else
    void* module_ = nullptr;
#endif
};

} // namespace

struct D2xxUsbDriver::Api {
    explicit Api(const std::string& name, std::string& error) : library(name, error) {}

    SharedLibrary library;
    ListDevicesFn listDevices = nullptr;
    OpenFn open = nullptr;
    HandleFn resetDevice = nullptr;
    SetBaudRateFn setBaudRate = nullptr;
    SetFlowControlFn setFlowControl = nullptr;
    SetDataCharacteristicsFn setDataCharacteristics = nullptr;
    PurgeFn purge = nullptr;
    TransferFn write = nullptr;
    GetQueueStatusFn getQueueStatus = nullptr;
    TransferFn read = nullptr;
    HandleFn close = nullptr;
    GetStatusFn getStatus = nullptr; // optional
};

namespace {

// Resolves `name` into `fn`; a missing required one is added to `missing`.
template <typename Fn>
void Resolve(const SharedLibrary& library, const char* name, Fn& fn, std::string* missing) {
    fn = reinterpret_cast<Fn>(library.Find(name));
    if (fn == nullptr && missing != nullptr)
        *missing += std::string(missing->empty() ? "" : ", ") + name;
}

// FT_Write and FT_Read through the library's `transfer`: `done` is 0 unless
// bytes moved, and never more than `count`, whatever the library says.
FtStatus Transfer(TransferFn transfer, void* device, void* buffer, std::uint32_t count,
                  std::uint32_t& done) {
    done = 0;
    if (device == nullptr)
        return FT_INVALID_HANDLE;
    if (buffer == nullptr && count != 0)
        return FT_INVALID_PARAMETER;
    Dword n = 0;
    const Status status = transfer(device, buffer, count, &n);
    done = n < count ? n : count;
    return status;
}

} // namespace

std::vector<std::string> D2xxUsbDriver::DefaultLibraries() {
#if defined(_WIN32) && defined(_WIN64)
    // The name existing installations ship first, then the converter maker's
    // 64-bit driver: its own file name, and the name its setup installs it
    // under in the system folder.
    return {"TVD2XX.DLL", "ftd2xx64.dll", "ftd2xx.dll"};
#elif defined(_WIN32)
    return {"TVD2XX.DLL", "ftd2xx.dll"};
#elif defined(__APPLE__)
    return {"libftd2xx.dylib"};
#else
    return {"libftd2xx.so"};
#endif
}

D2xxUsbDriver::D2xxUsbDriver(const std::vector<std::string>& libraries) {
    std::string reasons;
    for (const std::string& name : libraries) {
        std::string error;
        auto api = std::make_unique<Api>(name, error);
        if (!api->library.Loaded()) {
            reasons +=
                (reasons.empty() ? "" : "; ") + name + " could not be loaded (" + error + ")";
            continue;
        }
        libraryFound_ = true;
        std::string missing;
        const SharedLibrary& lib = api->library;
        Resolve(lib, "FT_ListDevices", api->listDevices, &missing);
        Resolve(lib, "FT_Open", api->open, &missing);
        Resolve(lib, "FT_ResetDevice", api->resetDevice, &missing);
        Resolve(lib, "FT_SetBaudRate", api->setBaudRate, &missing);
        Resolve(lib, "FT_SetFlowControl", api->setFlowControl, &missing);
        Resolve(lib, "FT_SetDataCharacteristics", api->setDataCharacteristics, &missing);
        Resolve(lib, "FT_Purge", api->purge, &missing);
        Resolve(lib, "FT_Write", api->write, &missing);
        Resolve(lib, "FT_GetQueueStatus", api->getQueueStatus, &missing);
        Resolve(lib, "FT_Read", api->read, &missing);
        Resolve(lib, "FT_Close", api->close, &missing);
        Resolve(lib, "FT_GetStatus", api->getStatus, nullptr);
        if (!missing.empty()) {
            reasons += (reasons.empty() ? "" : "; ") + name + " lacks " + missing;
            continue;
        }
        api_ = std::move(api);
        libraryName_ = name;
        return;
    }
    loadError_ = libraries.empty() ? "no converter library to load" : reasons;
}

D2xxUsbDriver::~D2xxUsbDriver() {
    if (api_) {
        for (const auto& [handle, device] : handles_.Open())
            api_->close(device);
    }
}

const D2xxUsbDriver::Api& D2xxUsbDriver::Library() const {
    if (!api_)
        throw UsbDriverError(loadError_);
    return *api_;
}

void* D2xxUsbDriver::Device(FtHandle handle) const {
    return handles_.Find(handle).value_or(nullptr);
}

template <typename Fn, typename... Args>
FtStatus D2xxUsbDriver::OnDevice(Fn Api::*fn, FtHandle handle, Args... args) const {
    const Api& api = Library();
    void* device = Device(handle);
    return device == nullptr ? FT_INVALID_HANDLE : (api.*fn)(device, args...);
}

FtStatus D2xxUsbDriver::FT_ListDevices(std::uint32_t& count, std::uint32_t flags) {
    const Api& api = Library();
    count = 0;
    // Any other flags would make the library take the first argument for
    // something else (an index, an array of buffers).
    if (flags != FT_LIST_NUMBER_ONLY)
        return FT_INVALID_PARAMETER;
    Dword n = 0;
    const Status status = api.listDevices(&n, nullptr, flags);
    count = n;
    return status;
}

FtStatus D2xxUsbDriver::FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                                       std::uint32_t flags) {
    const Api& api = Library();
    buffer.fill('\0');
    // Only the two by-index texts: both fit the buffer (the library writes at
    // most 64 bytes for either).
    if (flags != FT_LIST_BY_INDEX_SERIAL_NUMBER && flags != FT_LIST_BY_INDEX_DESCRIPTION)
        return FT_INVALID_PARAMETER;
    // By index the first argument is the index itself, passed as a pointer.
    const Status status = api.listDevices(
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), buffer.data(), flags);
    buffer.back() = '\0'; // ended, whatever the library wrote
    return status;
}

FtStatus D2xxUsbDriver::FT_Open(int index, FtHandle& handle) {
    const Api& api = Library();
    handle = 0;
    LibHandle device = nullptr;
    const Status status = api.open(index, &device);
    if (status != FT_OK)
        return status;
    if (device == nullptr)
        return FT_INVALID_HANDLE; // nothing we could ever call it by
    handle = handles_.Add(device);
    return FT_OK;
}

FtStatus D2xxUsbDriver::FT_ResetDevice(FtHandle handle) {
    return OnDevice(&Api::resetDevice, handle);
}

FtStatus D2xxUsbDriver::FT_SetBaudRate(FtHandle handle, std::uint32_t baud) {
    return OnDevice(&Api::setBaudRate, handle, baud);
}

FtStatus D2xxUsbDriver::FT_SetFlowControl(FtHandle handle, std::uint16_t flow, std::uint8_t xon,
                                          std::uint8_t xoff) {
    return OnDevice(&Api::setFlowControl, handle, flow, xon, xoff);
}

FtStatus D2xxUsbDriver::FT_SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                                  std::uint8_t stopBits, std::uint8_t parity) {
    return OnDevice(&Api::setDataCharacteristics, handle, wordLength, stopBits, parity);
}

FtStatus D2xxUsbDriver::FT_Purge(FtHandle handle, std::uint32_t mask) {
    return OnDevice(&Api::purge, handle, mask);
}

FtStatus D2xxUsbDriver::FT_Write(FtHandle handle, const std::uint8_t* data, std::uint32_t count,
                                 std::uint32_t& written) {
    const TransferFn write = Library().write;
    // The library only reads the buffer; its signature just is not const.
    return Transfer(write, Device(handle), const_cast<std::uint8_t*>(data), count, written);
}

FtStatus D2xxUsbDriver::FT_GetQueueStatus(FtHandle handle, std::uint32_t& waiting) {
    const Api& api = Library();
    waiting = 0;
    void* device = Device(handle);
    if (device == nullptr)
        return FT_INVALID_HANDLE;
    Dword n = 0;
    const Status status = api.getQueueStatus(device, &n);
    waiting = n;
    return status;
}

FtStatus D2xxUsbDriver::FT_Read(FtHandle handle, std::uint8_t* buffer, std::uint32_t count,
                                std::uint32_t& got) {
    const TransferFn read = Library().read;
    return Transfer(read, Device(handle), buffer, count, got);
}

FtStatus D2xxUsbDriver::FT_Close(FtHandle handle) {
    const Api& api = Library();
    // Forgotten whatever the library answers: the caller lets go of the
    // handle either way, and a second close must not reach a freed device.
    const std::optional<void*> device = handles_.Take(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    return api.close(*device);
}

FtStatus D2xxUsbDriver::FT_GetStatus(FtHandle handle, std::uint32_t& rxQueue,
                                     std::uint32_t& txQueue, std::uint32_t& eventStatus) {
    const Api& api = Library();
    rxQueue = txQueue = eventStatus = 0;
    if (api.getStatus == nullptr)
        return FT_NOT_SUPPORTED;
    void* device = Device(handle);
    if (device == nullptr)
        return FT_INVALID_HANDLE;
    Dword rx = 0, tx = 0, events = 0;
    const Status status = api.getStatus(device, &rx, &tx, &events);
    rxQueue = rx;
    txQueue = tx;
    eventStatus = events;
    return status;
}

} // namespace fw
