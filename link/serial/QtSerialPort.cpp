#include "link/serial/QtSerialPort.h"

#include "link/serial/ComPortNames.h"

#include <QDeadlineTimer>
#include <QMetaObject>

#include <cerrno>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fw {
namespace {

// How long closing waits for bytes still queued in the port object, so that the
// last command before a close (the sequencer closes right after its final
// command) still reaches the line.
constexpr int kCloseDrainMs = 1000;

// The group whose members may use the device: the device's own group when that
// group may read and write it, else the usual serial group.
std::string AccessGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP)) {
        if (const struct group* gr = ::getgrgid(st.st_gid); gr != nullptr && gr->gr_name[0] != 0)
            return gr->gr_name;
    }
    return "dialout";
}

CommError AccessDenied(const std::string& path) {
    return {kCommErrAccessDenied, "Permission denied opening " + path + ": add your user to the '" +
                                      AccessGroup(path) + "' group and log in again."};
}

CommError InUse(const std::string& path) {
    return {kCommErrPortInUse, "Port " + path + " is in use by another program"};
}

} // namespace

QtSerialPort::QtSerialPort(DeviceLookup lookup) : SerialControl(std::move(lookup)) {
    port_.setReadBufferSize(static_cast<qint64>(kReadBufferBytes));
    QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] {
        if (PortOpen())
            Raise();
    });
    QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                     [this](QSerialPort::SerialPortError error) { OnError(error); });
}

QtSerialPort::QtSerialPort(const ComPortNames& names)
    : QtSerialPort([&names](int port) { return names.DevicePath(port); }) {
}

QtSerialPort::~QtSerialPort() {
    Close();
}

bool QtSerialPort::PortOpen() const {
    return port_.isOpen() && !failed_;
}

CommError QtSerialPort::Open() {
    if (port_.isOpen())
        return {kCommErrPortInUse, "Port already open"};
    const std::optional<std::string> path = Device();
    if (!path)
        return NoDeviceFor(CommPort());
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0) {
        if (errno == EACCES)
            return AccessDenied(*path);
        return {kCommErrInvalidPort, "Device " + *path + " not found"};
    }

    port_.setPortName(QString::fromStdString(*path));
    port_.setBaudRate(QSerialPort::Baud38400);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port_.error();
        const std::string text = port_.errorString().toStdString();
        port_.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return {kCommErrInvalidPort, "Device " + *path + " not found"};
        case QSerialPort::PermissionError:
            // QSerialPort reports a refused open (EACCES), an exclusive open
            // elsewhere (EBUSY) and a lock file held by a live process alike.
            if (::access(path->c_str(), R_OK | W_OK) != 0 && errno == EACCES)
                return AccessDenied(*path);
            return InUse(*path);
        case QSerialPort::OpenError:
            return InUse(*path);
        default:
            return {kCommErrDeviceFailure, "Cannot open " + *path + ": " + text};
        }
    }
    // QSerialPort's lock file and exclusive mode do not stop the superuser nor
    // programs that lock with flock (the USB converter driver among them).
    if (::flock(port_.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        port_.close();
        return InUse(*path);
    }
    devicePath_ = *path;
    Opened(*path);
    return {};
}

void QtSerialPort::Close() {
    if (port_.isOpen()) {
        if (!failed_ && port_.bytesToWrite() > 0) {
            QDeadlineTimer deadline(kCloseDrainMs);
            while (port_.isOpen() && !failed_ && port_.bytesToWrite() > 0 &&
                   !deadline.hasExpired() && port_.waitForBytesWritten(deadline.remainingTime())) {
            }
        }
        if (port_.isOpen())
            port_.close();
    }
    port_.clearError();
    devicePath_.clear();
    failed_ = false;
}

void QtSerialPort::OnError(QSerialPort::SerialPortError error) {
    if (!port_.isOpen() || failed_)
        return;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    // A full output buffer (EAGAIN) also arrives as a resource error; only a
    // device that has really gone closes the port. A failed read always does:
    // QSerialPort keeps polling the descriptor and would report it again and
    // again.
    if (error != QSerialPort::ReadError && !DeviceGone()) {
        port_.clearError();
        return;
    }
    Lose();
}

void QtSerialPort::Later(std::function<void()> call) {
    QMetaObject::invokeMethod(&port_, std::move(call), Qt::QueuedConnection);
}

bool QtSerialPort::DeviceGone() const {
    // A hung-up terminal (unplugged USB converter, closed pseudo-terminal
    // master) fails every ioctl with EIO.
    int waiting = 0;
    return ::ioctl(port_.handle(), FIONREAD, &waiting) != 0;
}

void QtSerialPort::Output(const std::vector<std::uint8_t>& bytes) {
    if (!PortOpen() || bytes.empty())
        return;
    // Queued in the port object and written as the line takes it; never blocks.
    port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

int QtSerialPort::OutBufferCount() const {
    if (!PortOpen())
        return 0;
    int queued = 0;
    if (::ioctl(port_.handle(), TIOCOUTQ, &queued) != 0)
        queued = 0;
    return static_cast<int>(port_.bytesToWrite()) + queued;
}

int QtSerialPort::InBufferCount() const {
    return port_.isOpen() ? static_cast<int>(port_.bytesAvailable()) : 0;
}

std::string QtSerialPort::Input() {
    char c = 0;
    if (!port_.isOpen() || !port_.getChar(&c))
        return {};
    if (port_.bytesAvailable() == 0) {
        // A read from the emptied buffer is what lets the port object take
        // more from the device once its capped buffer had filled up.
        char none = 0;
        port_.read(&none, 1);
    }
    return std::string(1, c);
}

std::string QtSerialPort::ReadAll() {
    if (!port_.isOpen())
        return {};
    const QByteArray bytes = port_.readAll();
    // As in Input: the read from the emptied buffer lets the port object take
    // more from the device once its capped buffer had filled up.
    char none = 0;
    port_.read(&none, 1);
    return bytes.toStdString();
}

} // namespace fw
