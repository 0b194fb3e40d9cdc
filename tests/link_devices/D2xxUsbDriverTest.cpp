// The converter driver over the vendor's D2XX library, loaded at run time: here
// the fake library from tests/support/fake_d2xx, which this test also links to
// script its devices and read its call log. Nothing here needs a terminal, so
// the test builds for Windows too.
#include "link/usb/D2xxUsbDriver.h"
#include "link/usb/UsbDriverFactory.h"
#include "tests/support/fake_d2xx/FakeD2xx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

#if defined(__linux__)
#include "link/usb/SysfsUsbDriver.h"
#endif

namespace fw {
namespace {

std::string Text(const FtTextBuffer& buffer) {
    return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
}

std::string Output(int device) {
    unsigned size = 0;
    const char* data = FakeD2xx_Output(device, &size);
    return std::string(data, size);
}

using Call = std::function<FtStatus(D2xxUsbDriver&, FtHandle)>;

// Every call on a handle, with the library function it reaches.
const std::vector<std::pair<std::string, Call>>& HandleCalls() {
    static std::uint32_t n, tx, ev;
    static std::uint8_t bytes[kFtReadChunk];
    static const std::vector<std::pair<std::string, Call>> calls{
        {"FT_ResetDevice", [](auto& d, auto h) { return d.FT_ResetDevice(h); }},
        {"FT_SetBaudRate", [](auto& d, auto h) { return d.FT_SetBaudRate(h, 38400); }},
        {"FT_SetFlowControl", [](auto& d, auto h) { return d.FT_SetFlowControl(h, 0, 0, 0); }},
        {"FT_SetDataCharacteristics",
         [](auto& d, auto h) { return d.FT_SetDataCharacteristics(h, 8, 0, 0); }},
        {"FT_Purge", [](auto& d, auto h) { return d.FT_Purge(h, 3); }},
        {"FT_Write", [](auto& d, auto h) { return d.FT_Write(h, bytes, 4, n); }},
        {"FT_GetQueueStatus", [](auto& d, auto h) { return d.FT_GetQueueStatus(h, n); }},
        {"FT_Read", [](auto& d, auto h) { return d.FT_Read(h, bytes, 1, n); }},
        {"FT_GetStatus", [](auto& d, auto h) { return d.FT_GetStatus(h, n, tx, ev); }},
        {"FT_Close", [](auto& d, auto h) { return d.FT_Close(h); }},
    };
    return calls;
}

class D2xxUsbDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeD2xx_Reset();
        ASSERT_TRUE(driver.Loaded()) << driver.LoadError();
    }
    FtHandle Open(int index) {
        FtHandle h = 0;
        EXPECT_EQ(driver.FT_Open(index, h), FT_OK);
        return h;
    }

    D2xxUsbDriver driver{{FW_FAKE_D2XX}};
};

TEST_F(D2xxUsbDriverTest, ListsCountSerialsAndDescriptionsByIndex) {
    FakeD2xx_AddDevice("Merlane Analyser", "MA0001");
    FakeD2xx_AddDevice(std::string(90, 'd').c_str(), "FT12345");
    std::uint32_t count = 0;
    EXPECT_EQ(driver.FT_ListDevices(count, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);
    FtTextBuffer buffer;
    buffer.fill('x');
    EXPECT_EQ(driver.FT_ListDevices(1, buffer, FT_LIST_BY_INDEX_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(Text(buffer), "FT12345");
    EXPECT_EQ(buffer.back(), '\0'); // nothing of the old content is left
    EXPECT_EQ(driver.FT_ListDevices(0, buffer, FT_LIST_BY_INDEX_DESCRIPTION), FT_OK);
    EXPECT_EQ(Text(buffer), "Merlane Analyser");
    EXPECT_EQ(driver.FT_ListDevices(1, buffer, FT_LIST_BY_INDEX_DESCRIPTION), FT_OK);
    EXPECT_EQ(Text(buffer), std::string(63, 'd')); // the library's 64-byte texts
    EXPECT_EQ(driver.FT_ListDevices(2, buffer, FT_LIST_BY_INDEX_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Text(buffer), "");
    // The index travels in the first argument, the flags unchanged.
    EXPECT_STREQ(FakeD2xx_TakeLog(), "FT_ListDevices 80000000\n"
                                     "FT_ListDevices 1 40000001\n"
                                     "FT_ListDevices 0 40000002\n"
                                     "FT_ListDevices 1 40000002\n"
                                     "FT_ListDevices 2 40000001\n");

    // Flags under which the library would take the arguments for something
    // else never reach it.
    for (const std::uint32_t flags : {0u, FT_LIST_BY_INDEX_SERIAL_NUMBER, 0x20000001u}) {
        count = 7;
        EXPECT_EQ(driver.FT_ListDevices(count, flags), FT_INVALID_PARAMETER) << flags;
        EXPECT_EQ(count, 0u);
    }
    for (const std::uint32_t flags : {FT_LIST_NUMBER_ONLY, 0x20000002u, 0x40000004u, 0u}) {
        EXPECT_EQ(driver.FT_ListDevices(0, buffer, flags), FT_INVALID_PARAMETER) << flags;
    }
    EXPECT_STREQ(FakeD2xx_TakeLog(), "");
}

TEST_F(D2xxUsbDriverTest, EachHandleReachesTheDeviceItWasOpenedFor) {
    FakeD2xx_AddDevice("Converter", "A");
    FakeD2xx_AddDevice("Merlane Analyser", "B");
    const FtHandle b = Open(1);
    const FtHandle a = Open(0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    FakeD2xx_TakeLog();

    // The connection's configuration, in order and with its values.
    EXPECT_EQ(driver.FT_ResetDevice(b), FT_OK);
    EXPECT_EQ(driver.FT_SetBaudRate(b, 125000), FT_OK);
    EXPECT_EQ(driver.FT_SetFlowControl(b, FT_FLOW_NONE, 0x11, 0x13), FT_OK);
    EXPECT_EQ(driver.FT_SetDataCharacteristics(b, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
              FT_OK);
    EXPECT_EQ(driver.FT_Purge(b, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(driver.FT_SetBaudRate(a, 38400), FT_OK);
    EXPECT_STREQ(FakeD2xx_TakeLog(), "FT_ResetDevice dev=1\n"
                                     "FT_SetBaudRate dev=1 125000\n"
                                     "FT_SetFlowControl dev=1 0 17 19\n"
                                     "FT_SetDataCharacteristics dev=1 8 0 0\n"
                                     "FT_Purge dev=1 3\n"
                                     "FT_SetBaudRate dev=0 38400\n");

    std::uint32_t n = 0;
    const std::uint8_t abc[] = {'A', 'B', 'C'}, z[] = {'Z'};
    EXPECT_EQ(driver.FT_Write(a, abc, 3, n), FT_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(driver.FT_Write(b, z, 1, n), FT_OK);
    EXPECT_EQ(Output(0), "ABC");
    EXPECT_EQ(Output(1), "Z");

    // A closed handle, 0 and numbers never handed out get FT_INVALID_HANDLE
    // from the driver itself; the library never sees them.
    EXPECT_EQ(driver.FT_Close(a), FT_OK);
    FakeD2xx_TakeLog();
    for (const FtHandle h : {a, FtHandle(0), FtHandle(b + 100)}) {
        for (const auto& [function, call] : HandleCalls())
            EXPECT_EQ(call(driver, h), FT_INVALID_HANDLE) << function;
    }
    n = 7;
    EXPECT_EQ(driver.FT_Write(a, abc, 3, n), FT_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(FakeD2xx_TakeLog(), "");
    // Device 0 opened again gets a new number: the old one stays dead.
    const FtHandle again = Open(0);
    EXPECT_NE(again, a);
    EXPECT_NE(again, b);
    EXPECT_EQ(FakeD2xx_OpenCount(), 2);
}

TEST_F(D2xxUsbDriverTest, CountsOfWritesReadsAndQueuesPassThrough) {
    FakeD2xx_AddDevice("Converter", "A");
    const FtHandle h = Open(0);
    std::vector<std::uint8_t> all(300);
    std::iota(all.begin(), all.end(), std::uint8_t(0));

    // A write the library takes only partly: its count, not the request.
    FakeD2xx_SetWriteLimit(100);
    std::uint32_t n = 0;
    EXPECT_EQ(driver.FT_Write(h, all.data(), 256, n), FT_OK);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(Output(0), std::string(all.begin(), all.begin() + 100));

    FakeD2xx_Input(0, all.data(), 300);
    FakeD2xx_SetStatus(0, 17, 2);
    std::uint32_t rx = 0, tx = 0, events = 0;
    EXPECT_EQ(driver.FT_GetStatus(h, rx, tx, events), FT_OK);
    EXPECT_EQ(rx, 300u);
    EXPECT_EQ(tx, 17u);
    EXPECT_EQ(events, 2u);
    std::vector<std::uint8_t> got;
    for (std::uint32_t waiting = 1; waiting > 0;) {
        ASSERT_EQ(driver.FT_GetQueueStatus(h, waiting), FT_OK);
        std::uint8_t buffer[kFtReadChunk] = {};
        const std::uint32_t want = std::min<std::uint32_t>(waiting, kFtReadChunk);
        ASSERT_EQ(driver.FT_Read(h, buffer, want, n), FT_OK);
        ASSERT_EQ(n, want);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, all);
}

// Every failure status of the library reaches the caller unchanged.
TEST_F(D2xxUsbDriverTest, LibraryStatusesPassThrough) {
    FakeD2xx_AddDevice("Converter", "A");
    for (std::size_t i = 0; i < HandleCalls().size(); ++i) {
        const auto& [function, call] = HandleCalls()[i];
        SCOPED_TRACE(function);
        const FtStatus status = i % 2 ? FT_IO_ERROR : FT_INVALID_PARAMETER;
        const FtHandle h = Open(0);
        FakeD2xx_Fail(function.c_str(), status);
        EXPECT_EQ(call(driver, h), status);
        FakeD2xx_Fail(function.c_str(), FT_OK);
        EXPECT_EQ(call(driver, h), function == "FT_Close" ? FT_INVALID_HANDLE : FT_OK);
        driver.FT_Close(h);
    }
    std::uint32_t n = 0;
    FtTextBuffer text;
    FakeD2xx_Fail("FT_ListDevices", FT_OTHER_ERROR);
    EXPECT_EQ(driver.FT_ListDevices(n, FT_LIST_NUMBER_ONLY), FT_OTHER_ERROR);
    EXPECT_EQ(driver.FT_ListDevices(0, text, FT_LIST_BY_INDEX_DESCRIPTION), FT_OTHER_ERROR);
    FakeD2xx_Fail("FT_ListDevices", FT_OK);
    // An open that fails hands out no handle.
    FakeD2xx_Fail("FT_Open", FT_DEVICE_NOT_OPENED);
    FtHandle h = 9;
    EXPECT_EQ(driver.FT_Open(0, h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(h, 0u);
    FakeD2xx_Fail("FT_Open", FT_OK);
    EXPECT_EQ(driver.FT_Open(1, h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(FakeD2xx_OpenCount(), 1); // the one whose close failed
}

TEST_F(D2xxUsbDriverTest, DevicesLeftOpenAreClosedWithTheDriver) {
    FakeD2xx_AddDevice("Converter", "A");
    FakeD2xx_AddDevice("Converter", "B");
    {
        D2xxUsbDriver other({FW_FAKE_D2XX});
        FtHandle h = 0;
        ASSERT_EQ(other.FT_Open(0, h), FT_OK);
        ASSERT_EQ(other.FT_Open(1, h), FT_OK);
        ASSERT_EQ(FakeD2xx_OpenCount(), 2);
    }
    EXPECT_EQ(FakeD2xx_OpenCount(), 0);
}

// --- Loading -----------------------------------------------------------------------

// Every call of a driver without a usable library throws its load error.
void ExpectEveryCallThrows(D2xxUsbDriver& d, const std::string& text) {
    std::uint32_t n = 0;
    FtHandle h = 0;
    FtTextBuffer buffer;
    std::vector<std::pair<std::string, Call>> calls{
        {"FT_ListDevices", [&](auto&, auto) { return d.FT_ListDevices(n, FT_LIST_NUMBER_ONLY); }},
        {"FT_ListDevices",
         [&](auto&, auto) { return d.FT_ListDevices(0, buffer, FT_LIST_BY_INDEX_SERIAL_NUMBER); }},
        {"FT_Open", [&](auto&, auto) { return d.FT_Open(0, h); }},
    };
    calls.insert(calls.end(), HandleCalls().begin(), HandleCalls().end());
    for (const auto& [function, call] : calls) {
        try {
            call(d, 1);
            ADD_FAILURE() << function << " did not throw";
        } catch (const UsbDriverError& e) {
            EXPECT_EQ(e.what(), text) << function;
        }
    }
}

TEST(D2xxUsbDriverLoad, MissingLibrariesAndFunctionsAreNamed) {
    const std::string missing = FW_FAKE_D2XX_DIR "/no-such-d2xx-library";
    struct Case {
        std::vector<std::string> libraries;
        const char* loaded; // the candidate in use, or nullptr
        bool found;
        std::vector<std::string> inError; // parts of the error text, in order
    };
    // clang-format off
    const std::vector<Case> cases{
        {{missing}, nullptr, false, {missing + " could not be loaded (", ")"}},
        {{FW_FAKE_D2XX_NO_READ}, nullptr, true, {FW_FAKE_D2XX_NO_READ " lacks FT_Purge, FT_Read"}},
        {{missing, FW_FAKE_D2XX_NO_READ}, nullptr, true,
         {missing + " could not be loaded (",
          "; " FW_FAKE_D2XX_NO_READ " lacks FT_Purge, FT_Read"}},
        {{}, nullptr, false, {"no converter library to load"}},
        // The first usable candidate wins.
        {{missing, FW_FAKE_D2XX_NO_READ, FW_FAKE_D2XX}, FW_FAKE_D2XX, true, {}},
        {{FW_FAKE_D2XX_NO_GET_STATUS, FW_FAKE_D2XX}, FW_FAKE_D2XX_NO_GET_STATUS, true, {}},
#ifdef FW_D2XX_32BIT
        // A 32-bit library in this 64-bit program: said so, with what to install.
        {{FW_D2XX_32BIT}, nullptr, false,
         {FW_D2XX_32BIT " could not be loaded (it is not a 64-bit library",
          "install the 64-bit driver of the USB converter"}},
        {{FW_D2XX_32BIT, FW_FAKE_D2XX}, FW_FAKE_D2XX, true, {}},
#endif
    };
    // clang-format on
    for (const Case& c : cases) {
        D2xxUsbDriver d(c.libraries);
        SCOPED_TRACE(d.LoadError());
        EXPECT_EQ(d.Loaded(), c.loaded != nullptr);
        EXPECT_EQ(d.LibraryFound(), c.found);
        EXPECT_EQ(d.LibraryName(), c.loaded ? c.loaded : "");
        std::size_t at = 0;
        for (const std::string& part : c.inError) {
            at = d.LoadError().find(part, at);
            ASSERT_NE(at, std::string::npos) << part;
        }
        EXPECT_EQ(d.LoadError().find('%'), std::string::npos) << "an insert left unfilled";
        if (c.loaded)
            EXPECT_EQ(d.LoadError(), "");
        else
            ExpectEveryCallThrows(d, d.LoadError());
    }
}

TEST(D2xxUsbDriverLoad, WithoutGetStatusTheQueueIsNotKnownButAllElseWorks) {
    D2xxUsbDriver d({FW_FAKE_D2XX_NO_GET_STATUS});
    ASSERT_TRUE(d.Loaded()) << d.LoadError();
    std::uint32_t count = 5, rx = 1, tx = 1, ev = 1;
    EXPECT_EQ(d.FT_ListDevices(count, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u); // that library's own (empty) device list
    EXPECT_EQ(d.FT_GetStatus(1, rx, tx, ev), FT_NOT_SUPPORTED);
    EXPECT_EQ(rx + tx + ev, 0u);
}

TEST(UsbDriverFactory, TheLibraryWhenInstalledElseTheKernelBackend) {
    const std::string missing = FW_FAKE_D2XX_DIR "/no-such-d2xx-library";
    EXPECT_NE(dynamic_cast<D2xxUsbDriver*>(MakeUsbDriver({missing, FW_FAKE_D2XX}).get()), nullptr);
    // An installed library that cannot be used is reported, not passed over.
    const auto broken = MakeUsbDriver({FW_FAKE_D2XX_NO_READ});
    std::uint32_t count = 0;
    ASSERT_NE(dynamic_cast<D2xxUsbDriver*>(broken.get()), nullptr);
    EXPECT_THROW(broken->FT_ListDevices(count, FT_LIST_NUMBER_ONLY), UsbDriverError);
    const auto none = MakeUsbDriver({missing});
#if defined(__linux__)
    EXPECT_NE(dynamic_cast<SysfsUsbDriver*>(none.get()), nullptr);
#else
    EXPECT_NE(dynamic_cast<D2xxUsbDriver*>(none.get()), nullptr);
#endif
}

} // namespace
} // namespace fw
