// The TCP link on Windows against a server that stops reading: Windows cannot
// count what its kernel has queued, so the link keeps that queue small, and
// what has left the program stays within a few records' worth (the rest
// counts as not yet sent and stops with the run). Runs in win32_serial_test.
#include "link/net/NetAddress.h"
#include "link/net/QtNetPort.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace fw {
namespace {

TEST(WinNetPort, WhatTheKernelTakesStaysSmallWhenTheServerStopsReading) {
    WSADATA wsa{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    // A server on loopback that accepts and never reads.
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    const int receiveBuffer = 4096;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                 sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    QtNetPort port;
    const NetAddress server{"127.0.0.1", ::ntohs(address.sin_port), false};
    const CommError opened = port.OpenAddress(server, 5000);
    ASSERT_FALSE(opened) << opened.description;
    // The connect goes on in the event loop; the kernel completes it from
    // the listen queue before anyone accepts.
    QElapsedTimer connecting;
    connecting.start();
    while (port.Opening().state == NetOpening::State::Connecting && connecting.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ASSERT_EQ(port.Opening().state, NetOpening::State::Open) << port.Opening().note;
    const SOCKET peer = ::accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);

    // As the upload does: look at what is pending, send, look again.
    constexpr int kSent = 256 * 1024;
    EXPECT_EQ(port.Unsent(), 0u);
    const std::vector<std::uint8_t> bytes(kSent, 0x55);
    port.Send(bytes.data(), bytes.size());
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        port.Unsent();
        QThread::msleep(5);
    }
    const int taken = kSent - static_cast<int>(port.Unsent());
    EXPECT_GT(taken, 0);
    // The kernel's send queue (4 KiB asked; Linux under Wine doubles it) and
    // the server's small receive window: well under the 64 KiB and more a
    // default queue takes.
    EXPECT_LT(taken, 32 * 1024) << "the kernel took " << taken << " bytes";

    port.Close();
    ::closesocket(peer);
    ::closesocket(listener);
    ::WSACleanup();
}

} // namespace
} // namespace fw
