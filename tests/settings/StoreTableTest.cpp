// The registry routines' behaviour as one table, run against every store they
// may sit on: the registry in memory, the registry-export file (where the
// program keeps its settings on Linux; only FileRegistry reads that text), and
// the system registry through advapi32 (on Windows, and under Wine in the
// tests). The system registry is
// the reference: where another store answers differently, that store is wrong.
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"

#ifdef _WIN32
#include "settings/WinRegistry.h"
#include "tests/support/WinRegistryTools.h"
#else
#include "settings/FileRegistry.h"
#include "tests/settings/TestHelpers.h"
#endif

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fw {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;

// Everything the tests write lies below this key, so that on the system
// registry one delete clears it away.
const std::string kSection = "StoreTable";
const std::string kRoot = kSettingsKeyPrefix + kSection;
const std::string kList = kRoot + "\\List";

// One store as the program meets it: a writer and a reader. For the file they
// are two copies of the program sharing the file, so every value goes through
// the text.
class Store {
public:
    virtual ~Store() = default;
    virtual IRegistry& Writer() = 0;
    virtual IRegistry& Reader() = 0;
};

class MemoryStore : public Store {
public:
    IRegistry& Writer() override { return reg_; }
    IRegistry& Reader() override { return reg_; }

private:
    MemoryRegistry reg_;
};

#ifdef _WIN32
class SystemStore : public Store {
public:
    SystemStore() { test::DeleteMachineKeyTree(kRoot); } // left over from a crashed run
    ~SystemStore() override { test::DeleteMachineKeyTree(kRoot); }
    IRegistry& Writer() override { return writer_; }
    IRegistry& Reader() override { return reader_; }

private:
    WinRegistry writer_, reader_;
};
#else
class FileStore : public Store {
public:
    IRegistry& Writer() override { return writer_; }
    IRegistry& Reader() override { return reader_; }

private:
    test::TempDir dir_;
    const std::string file_ = dir_ / "Tarnvel/Flashwright.reg";
    FileRegistry writer_{file_}, reader_{file_};
};
#endif

struct StoreKind {
    const char* name;
    std::function<std::unique_ptr<Store>()> make;
};

bool RunningOnWine() {
#ifdef _WIN32
    return test::RunningOnWine();
#else
    return false;
#endif
}

const StoreKind kStores[] = {
    {"Memory", [] { return std::make_unique<MemoryStore>(); }},
#ifdef _WIN32
    {"System", [] { return std::make_unique<SystemStore>(); }},
#else
    {"File", [] { return std::make_unique<FileStore>(); }},
#endif
};

class StoreTable : public ::testing::TestWithParam<StoreKind> {
protected:
    bool Save(const std::string& name, const std::string& value) {
        return Settings(writer_).SaveSettingValue(kSection, name, value);
    }
    std::string Get(const std::string& name) {
        return Settings(reader_).GetSettingValue(kSection, name, "dflt");
    }
    std::string List(const std::string& key = kList) { return RegListValueData(reader_, key); }
    // Stores `count` bytes of `data` as the platform's call would; the bytes
    // after them are there for the call to look at, as a caller's buffer would
    // have them.
    void SetRaw(const std::string& key, const std::string& name, DWORD type, const Bytes& data,
                std::optional<DWORD> count = std::nullopt) {
        Bytes buffer = data;
        buffer.push_back(0); // what lies behind the counted bytes unless `data` says otherwise
        HKEY handle = 0;
        ASSERT_EQ(writer_.RegCreateKeyA(HKEY_LOCAL_MACHINE, key, &handle), ERROR_SUCCESS);
        EXPECT_EQ(writer_.RegSetValueExA(handle, name, 0, type, buffer.data(),
                                         count.value_or(static_cast<DWORD>(data.size()))),
                  ERROR_SUCCESS);
        writer_.RegCloseKey(handle);
    }
    // The name and data of value `index` of the list key.
    std::optional<std::pair<std::string, std::string>> Enum(DWORD index) {
        HKEY key = 0;
        if (reader_.RegOpenKeyA(HKEY_LOCAL_MACHINE, kList, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        char name[256] = {};
        std::uint8_t data[256] = {};
        DWORD nameLength = sizeof name, size = sizeof data, type = 0;
        const LONG status =
            reader_.RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &size);
        reader_.RegCloseKey(key);
        if (status != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return std::pair{std::string(name, nameLength), BytesToStr(data, static_cast<long>(size))};
    }

    std::unique_ptr<Store> store_ = GetParam().make();
    IRegistry& writer_ = store_->Writer();
    IRegistry& reader_ = store_->Reader();
};

TEST_P(StoreTable, TextsComeBackWhole) {
    std::string ascii;
    for (int c = 1; c < 128; ++c) {
        ascii += static_cast<char>(c);
    }
    // A firmware path deep enough to pass the first 254-byte read.
    std::string deep = "C:\\Firmware";
    while (deep.size() < 1000) {
        deep += "\\Analyser release " + std::to_string(deep.size());
    }
    deep += "\\analyser.sx";
    // clang-format off
    const std::string texts[] = {
        "", "COM", "192.168.0.1", "C:\\fw\\a \"b\".sx", "\\\\server\\share\\", ascii,
        "a\0b"s, "ab\0"s, "\0"s,            // a trailing NUL is not the terminator
        "two\nlines", "\n", "end\n",       // line feeds alone, which the quoted form cannot carry
        std::string(253, 'x'),              // the first read's limit
        std::string(254, 'y'),              // one more: read again with the size the store names
        deep, std::string(kMaxReadSize - 1, 'z'),
    };
    // clang-format on
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.size());
        ASSERT_TRUE(Save(kFilename, text));
        EXPECT_EQ(Get(kFilename), text);
    }
    ASSERT_TRUE(Save(kFilename, std::string(kMaxReadSize, 'w'))); // beyond any path
    EXPECT_EQ(Get(kFilename), "dflt");
}

TEST_P(StoreTable, ValuesReadAsTheirBytesLessTheLast) {
    struct Row {
        const char* what;
        DWORD type;
        Bytes data;
        std::optional<DWORD> count;
        std::string read;
    };
    const Row rows[] = {
        {"string, its NUL counted", REG_SZ, {'a', 'b', 0}, {}, "ab"},
        {"string, NUL behind the count", REG_SZ, {'a', 'b', 0}, 2, "ab"},
        {"string, no NUL behind", REG_SZ, {'a', 'b', 'c'}, 2, "a"},
        {"empty string", REG_SZ, {}, {}, ""},               // no bytes at all
        {"empty string, NUL counted", REG_SZ, {0}, {}, ""}, // one NUL
        {"number", REG_DWORD, {0x0a, 0, 0, 0}, {}, "\x0a\0\0"s},
        {"bytes", REG_BINARY, {1, 2, 3}, {}, "\x01\x02"},
        {"no bytes", REG_BINARY, {}, {}, ""},
        {"string list", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}, {}, "a\0b\0"s},
        {"expandable string", REG_EXPAND_SZ, {'%', 'P', '%', 0}, {}, "%P%"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetRaw(kRoot, row.what, row.type, row.data, row.count);
        EXPECT_EQ(Get(row.what), row.read);
    }
}

TEST_P(StoreTable, MissingKeysAndValuesGiveTheDefault) {
    EXPECT_EQ(Get(kAddress), "dflt");
    EXPECT_EQ(List(), "");
    HKEY key = 0;
    ASSERT_EQ(writer_.RegCreateKeyA(HKEY_LOCAL_MACHINE, kList, &key), ERROR_SUCCESS);
    writer_.RegCloseKey(key);
    EXPECT_EQ(Get(kAddress), "dflt"); // the key exists now, the value not
    EXPECT_EQ(List(), "");            // a key without values
    ASSERT_TRUE(Save(kComPort, "3"));
    EXPECT_EQ(Get(kAddress), "dflt");
    EXPECT_EQ(Get("COM Port "), "dflt");
    EXPECT_EQ(Settings(reader_).GetSettingValue("StoreTabl", kComPort, "dflt"), "dflt");
}

TEST_P(StoreTable, NamesMatchWhateverTheirCase) {
    ASSERT_TRUE(Save("connction TYPE", "TCP"));
    EXPECT_EQ(Get(kConnectionType), "TCP");
    EXPECT_EQ(Get("Connection Type"), "dflt"); // spelt otherwise: another value
    ASSERT_TRUE(RegWriteString(writer_, "software\\TARNVEL\\flashwright\\storetable\\list", "Port",
                               "x", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(List(kList), "x\0"s);
    // A value written again under another spelling keeps its first name.
    ASSERT_TRUE(RegWriteString(writer_, kList, "PORT", "y", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(Enum(0), std::pair("Port"s, "y\0"s));
    EXPECT_EQ(Enum(1), std::nullopt);
}

TEST_P(StoreTable, ListingJoinsDataUntilAValueDoesNotFit) {
    // The names sort as they are written, so the order of enumeration does not
    // matter here (see ValuesListInTheOrderFirstWritten).
    ASSERT_TRUE(RegWriteString(writer_, kList, "A", "COM1", HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(writer_, kList, "AB", "", HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(writer_, kList, "B", std::string(1999, 'x'), HKEY_LOCAL_MACHINE));
    SetRaw(kList, "C" + std::string(253, 'n'), REG_SZ, {'A', 0}); // a 254-character name
    SetRaw(kList, "Co", REG_DWORD, {1, 0, 0, 0});
    // The empty text is stored as no bytes at all and adds nothing.
    const std::string fits = "COM1\0"s + std::string(1999, 'x') + "\0A\0\x01\0\0\0"s;
    EXPECT_EQ(List(), fits);
    // Data of 2001 bytes, or a name of 255 characters, ends the listing there.
    SetRaw(kList, "D", REG_BINARY, Bytes(2001, 'y'));
    ASSERT_TRUE(RegWriteString(writer_, kList, "E", "B", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(List(), fits);
    ASSERT_TRUE(RegWriteString(writer_, kList, "D", "C", HKEY_LOCAL_MACHINE));
    SetRaw(kList, "F" + std::string(254, 'm'), REG_SZ, {'D', 0});
    ASSERT_TRUE(RegWriteString(writer_, kList, "G", "E", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(List(), fits + "C\0B\0"s);
    ASSERT_TRUE(RegWriteString(writer_, kList, "B", std::string(2000, 'x'), HKEY_LOCAL_MACHINE));
    EXPECT_EQ(List(), "COM1\0"s);
}

TEST_P(StoreTable, ValuesListInTheOrderFirstWritten) {
    for (const auto& [name, data] : {std::pair{"b", "1"}, {"a", "2"}, {"c", "3"}, {"b", "4"}}) {
        ASSERT_TRUE(RegWriteString(writer_, kList, name, data, HKEY_LOCAL_MACHINE));
    }
    // Windows lists values in the order they were created; Wine sorts them by
    // name. The stores keep to Windows.
    const bool sorted = std::string(GetParam().name) == "System" && RunningOnWine();
    EXPECT_EQ(List(), sorted ? "2\0"s
                               "4\0"s
                               "3\0"s
                             : "4\0"s
                               "2\0"s
                               "3\0"s);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTable, ::testing::ValuesIn(kStores),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace fw
