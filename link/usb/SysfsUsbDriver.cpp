#include "link/usb/SysfsUsbDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

// The kernel's termios2 (any baud rate through BOTHER). <asm/termbits.h> and
// the C library's <termios.h> define the same names differently, so this file
// uses the raw ioctls only and never includes <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fw {
namespace {

namespace fs = std::filesystem;

struct Found {
    SysfsUsbDriver::Device device;
    std::string usbDevice; // sysfs directory of the USB device the tty belongs to
    int interfaceNumber = 0;
};

// First line of a sysfs attribute, without trailing white space.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string LinkTargetName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

// "ttyUSB10" -> ("ttyUSB", 10), so that ttyUSB2 sorts before ttyUSB10.
std::pair<std::string, unsigned long> NaturalKey(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    unsigned long number = 0;
    for (std::size_t i = digits; i < name.size() && i < digits + 9; ++i)
        number = number * 10 + static_cast<unsigned long>(name[i] - '0');
    return {name.substr(0, digits), number};
}

// The USB interface behind a tty's device, when the tty is a USB-to-serial
// port: a usb-serial port device (ttyUSB, its parent is the interface) or an
// interface bound to cdc_acm (ttyACM).
std::optional<fs::path> SerialInterface(const fs::path& device) {
    std::error_code ec;
    if (LinkTargetName(device / "subsystem") == "usb-serial") {
        const fs::path interface = device.parent_path();
        if (fs::exists(interface / "bInterfaceNumber", ec))
            return interface;
        return std::nullopt;
    }
    if (fs::exists(device / "bInterfaceNumber", ec) &&
        LinkTargetName(device / "driver") == "cdc_acm")
        return device;
    return std::nullopt;
}

void CopyText(const std::string& text, FtTextBuffer& buffer) {
    buffer.fill('\0');
    const std::size_t n = std::min(text.size(), buffer.size() - 1);
    std::memcpy(buffer.data(), text.data(), n);
}

speed_t StandardRate(std::uint32_t baud) {
    switch (baud) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return BOTHER;
    }
}

bool GetTermios(int fd, struct termios2& tio) {
    return ::ioctl(fd, TCGETS2, &tio) == 0;
}

bool SetTermios(int fd, const struct termios2& tio) {
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

// FT_Write and FT_Read: `done` starts at 0; an unknown handle, nothing to move
// and no buffer are answered here, the rest by `move` on the descriptor.
template <typename Move>
FtStatus Transfer(std::optional<int> fd, const void* buffer, std::uint32_t count,
                  std::uint32_t& done, Move move) {
    done = 0;
    if (!fd)
        return FT_INVALID_HANDLE;
    if (count == 0)
        return FT_OK;
    if (buffer == nullptr)
        return FT_INVALID_PARAMETER;
    return move(*fd);
}

} // namespace

SysfsUsbDriver::SysfsUsbDriver(std::string sysRoot, std::string devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {
}

SysfsUsbDriver::~SysfsUsbDriver() {
    for (const auto& [handle, fd] : fds_.Open())
        ::close(fd);
}

std::vector<SysfsUsbDriver::Device> SysfsUsbDriver::Scan() const {
    const fs::path classTty = fs::path(sysRoot_) / "class" / "tty";
    std::error_code ec;
    if (!fs::is_directory(classTty, ec))
        throw UsbDriverError("cannot list USB converters: " + classTty.string() +
                             " not found (is sysfs mounted?)");

    std::vector<Found> found;
    for (fs::directory_iterator it(classTty, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code linkError;
        const fs::path device = fs::canonical(it->path() / "device", linkError);
        if (linkError)
            continue;
        const std::optional<fs::path> interface = SerialInterface(device);
        if (!interface)
            continue;
        const fs::path usbDevice = interface->parent_path();
        Found entry;
        entry.device.ttyName = name;
        entry.device.description = ReadAttribute(usbDevice / "product");
        entry.device.serialNumber = ReadAttribute(usbDevice / "serial");
        entry.usbDevice = usbDevice.string();
        entry.interfaceNumber = static_cast<int>(
            std::strtol(ReadAttribute(*interface / "bInterfaceNumber").c_str(), nullptr, 16));
        found.push_back(std::move(entry));
    }

    // Ports of one multi-port converter share product and serial strings; the
    // letters tell them apart, in interface order.
    std::map<std::string, std::vector<Found*>> byUsbDevice;
    for (Found& entry : found)
        byUsbDevice[entry.usbDevice].push_back(&entry);
    for (auto& [usbDevice, ports] : byUsbDevice) {
        if (ports.size() < 2)
            continue;
        std::sort(ports.begin(), ports.end(), [](const Found* a, const Found* b) {
            return std::make_pair(a->interfaceNumber, NaturalKey(a->device.ttyName)) <
                   std::make_pair(b->interfaceNumber, NaturalKey(b->device.ttyName));
        });
        for (std::size_t i = 0; i < ports.size() && i < 26; ++i) {
            const char letter = static_cast<char>('A' + i);
            ports[i]->device.description += std::string(" ") + letter;
            ports[i]->device.serialNumber += letter;
        }
    }

    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return NaturalKey(a.device.ttyName) < NaturalKey(b.device.ttyName);
    });
    std::vector<Device> devices;
    for (Found& entry : found)
        devices.push_back(std::move(entry.device));
    return devices;
}

const std::vector<SysfsUsbDriver::Device>& SysfsUsbDriver::Snapshot() {
    if (!snapshot_)
        snapshot_ = Scan();
    return *snapshot_;
}

FtStatus SysfsUsbDriver::FT_ListDevices(std::uint32_t& count, std::uint32_t flags) {
    if (flags != FT_LIST_NUMBER_ONLY)
        return FT_INVALID_PARAMETER;
    snapshot_ = Scan();
    count = static_cast<std::uint32_t>(snapshot_->size());
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                                        std::uint32_t flags) {
    buffer.fill('\0');
    if (flags != FT_LIST_BY_INDEX_SERIAL_NUMBER && flags != FT_LIST_BY_INDEX_DESCRIPTION)
        return FT_INVALID_PARAMETER;
    const std::vector<Device>& devices = Snapshot();
    if (index >= devices.size())
        return FT_DEVICE_NOT_FOUND;
    const Device& device = devices[index];
    CopyText(flags == FT_LIST_BY_INDEX_SERIAL_NUMBER ? device.serialNumber : device.description,
             buffer);
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_Open(int index, FtHandle& handle) {
    handle = 0;
    std::string path;
    try {
        const std::vector<Device>& devices = Snapshot();
        if (index < 0 || static_cast<std::size_t>(index) >= devices.size())
            return FT_DEVICE_NOT_FOUND;
        path = devRoot_ + "/" + devices[static_cast<std::size_t>(index)].ttyName;
    } catch (const UsbDriverError&) {
        return FT_DEVICE_NOT_FOUND;
    }

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENODEV || errno == ENXIO ? FT_DEVICE_NOT_FOUND
                                                                    : FT_DEVICE_NOT_OPENED;
    // One owner at a time: flock holds against every opener that checks it
    // (including the serial port adapter), TIOCEXCL against everyone but the
    // superuser.
    struct termios2 tio {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !GetTermios(fd, tio)) {
        ::close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    ::ioctl(fd, TIOCEXCL);

    // A converter handle passes bytes untouched: raw, 8N1, no flow control,
    // modem lines ignored. The speed stays as it was until FT_SetBaudRate.
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    // VMIN 1: with O_NONBLOCK an empty queue reads as EAGAIN, so a read of 0
    // bytes can only mean that the terminal hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (!SetTermios(fd, tio)) {
        ::close(fd);
        return FT_DEVICE_NOT_OPENED;
    }

    handle = fds_.Add(fd);
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_ResetDevice(FtHandle handle) {
    return FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
}

FtStatus SysfsUsbDriver::FT_SetBaudRate(FtHandle handle, std::uint32_t baud) {
    const auto fd = fds_.Find(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    if (baud == 0)
        return FT_INVALID_BAUD_RATE;
    struct termios2 tio {};
    if (!GetTermios(*fd, tio))
        return FT_IO_ERROR;
    // Same speed both ways: clear the input-speed field too.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= StandardRate(baud);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (!SetTermios(*fd, tio))
        return errno == EINVAL ? FT_INVALID_BAUD_RATE : FT_IO_ERROR;
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_SetFlowControl(FtHandle handle, std::uint16_t flow, std::uint8_t,
                                           std::uint8_t) {
    const auto fd = fds_.Find(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    if (flow != FT_FLOW_NONE)
        return FT_INVALID_PARAMETER; // only "none" is ever wanted
    struct termios2 tio {};
    if (!GetTermios(*fd, tio))
        return FT_IO_ERROR;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    return SetTermios(*fd, tio) ? FT_OK : FT_IO_ERROR;
}

FtStatus SysfsUsbDriver::FT_SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                                   std::uint8_t stopBits, std::uint8_t parity) {
    const auto fd = fds_.Find(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    // The converter library's codes: 7 or 8 bits; stop bits 0 = one, 2 = two;
    // parity 0 none, 1 odd, 2 even.
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 2)
        return FT_INVALID_PARAMETER;
    struct termios2 tio {};
    if (!GetTermios(*fd, tio))
        return FT_IO_ERROR;
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
    tio.c_cflag |= wordLength == 8 ? CS8 : CS7;
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (parity != 0)
        tio.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
    return SetTermios(*fd, tio) ? FT_OK : FT_IO_ERROR;
}

FtStatus SysfsUsbDriver::FT_Purge(FtHandle handle, std::uint32_t mask) {
    const auto fd = fds_.Find(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    const bool rx = (mask & FT_PURGE_RX) != 0;
    const bool tx = (mask & FT_PURGE_TX) != 0;
    if (!rx && !tx)
        return FT_OK;
    const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    return ::ioctl(*fd, TCFLSH, queue) == 0 ? FT_OK : FT_IO_ERROR;
}

FtStatus SysfsUsbDriver::FT_Write(FtHandle handle, const std::uint8_t* data, std::uint32_t count,
                                  std::uint32_t& written) {
    return Transfer(fds_.Find(handle), data, count, written, [&](int fd) {
        using Clock = std::chrono::steady_clock;
        auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
        while (written < count) {
            const ssize_t n = ::write(fd, data + written, count - written);
            if (n > 0) {
                written += static_cast<std::uint32_t>(n);
                deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return FT_IO_ERROR;
            // The output queue is full: wait for room, but not for ever.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0)
                return FT_IO_ERROR;
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, static_cast<int>(left));
        }
        return FT_OK;
    });
}

FtStatus SysfsUsbDriver::FT_GetQueueStatus(FtHandle handle, std::uint32_t& waiting) {
    waiting = 0;
    const auto fd = fds_.Find(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    int n = 0;
    if (::ioctl(*fd, FIONREAD, &n) != 0 || n < 0)
        return FT_IO_ERROR; // a hung-up terminal (device unplugged) fails with EIO
    waiting = static_cast<std::uint32_t>(n);
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_GetStatus(FtHandle handle, std::uint32_t& rxQueue,
                                      std::uint32_t& txQueue, std::uint32_t& eventStatus) {
    txQueue = eventStatus = 0;
    const FtStatus status = FT_GetQueueStatus(handle, rxQueue);
    if (status != FT_OK)
        return status;
    int n = 0;
    if (::ioctl(*fds_.Find(handle), TIOCOUTQ, &n) != 0 || n < 0)
        return FT_IO_ERROR;
    txQueue = static_cast<std::uint32_t>(n);
    return FT_OK;
}

FtStatus SysfsUsbDriver::FT_Read(FtHandle handle, std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t& got) {
    return Transfer(fds_.Find(handle), buffer, count, got, [&](int fd) {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, count);
            if (n > 0) {
                got = static_cast<std::uint32_t>(n);
                return FT_OK;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return FT_OK;   // nothing waiting; never blocks
            return FT_IO_ERROR; // 0: hung up (see VMIN in FT_Open), or a read error
        }
    });
}

FtStatus SysfsUsbDriver::FT_Close(FtHandle handle) {
    const std::optional<int> fd = fds_.Take(handle);
    if (!fd)
        return FT_INVALID_HANDLE;
    // Give up the exclusive mode first: it belongs to the terminal, not to this
    // descriptor, and would keep everyone else (this program too) out while
    // any other descriptor still holds the terminal open.
    ::ioctl(*fd, TIOCNXCL);
    ::close(*fd);
    return FT_OK;
}

} // namespace fw
