// The search for serial ports that the connection page runs when it loads:
// every port is test-opened before it is listed, so the list holds only ports
// that open, plus ports another program holds (marked " (In Use)"). Then the
// wanted port is selected, or the first free one with a word to the user.
#pragma once

#include "engine/MessageBox.h"
#include "link/serial/SerialPort.h"
#include "platform/VbBool.h"
#include "settings/Registry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fw {

// Where Windows lists the machine's serial ports (below HKEY_LOCAL_MACHINE).
inline constexpr const char* kSerialCommKeyPath = "Hardware\\DeviceMap\\SerialComm";
// Another program of ours takes its fallback port from here (below
// HKEY_LOCAL_MACHINE): the list index of the port chosen when the wanted one was
// missing.
inline constexpr const char* kAlarmKeyPath = "SOFTWARE\\Tarnvel\\Logharbor\\Alarm";
inline constexpr const char* kAlarmComPortValue = "ComPort";
inline constexpr const char* kInUseMark = " (In Use)";

// A drop-down list as the search fills it.
class IListBox {
public:
    virtual ~IListBox() = default;
    virtual int ListCount() const = 0;
    // Adds an entry at the end.
    virtual void AddItem(const std::string& text) = 0;
    virtual std::string List(int index) const = 0;
    virtual void SetListIndex(int index) = 0;
    virtual int ListIndex() const = 0;
};

// The platform's serial port names, each followed by a NUL: "COM1\0COM3\0".
// Empty when the platform offers no list.
using PortListSource = std::function<std::string()>;

// Taken when a search starts and let go when it ends; the platform's port names
// may answer from one reading of their source while it is held. Empty: none.
using PortSearchHold = std::function<std::shared_ptr<void>()>;

// The Windows list: the data of every value under kSerialCommKeyPath.
// `registry` must outlive the source.
PortListSource RegistryPortList(IRegistry& registry);

// The port number a list entry names: its text after the first three
// characters ("COM"), read as a number up to the first character that cannot
// belong to one, so "COM3 (In Use)" gives 3. Leading blanks are skipped; no
// digits give 0.
std::int64_t EntryPortNumber(const std::string& entry);

class PortDiscovery {
public:
    PortDiscovery(PortListSource platformPortList, IRegistry& registry, IMessageBox& messages,
                  PortSearchHold hold = nullptr);

    // Fills `cboCommPorts` when it is empty (an already filled list is not
    // searched again), then selects the entry of port `comPort` (0: no
    // particular port) or, when it is not listed, the first entry not in use,
    // telling the user. When `sysParamSetting` is False, such a fallback's list
    // index goes to the alarm key. False only when no port at all was found.
    // Each test open is closed again at once; no port stays open.
    VbBool loadComPortAndBaud(ISerialPort& msTestComm, IListBox& cboCommPorts, std::uint8_t comPort,
                              VbBool sysParamSetting);

private:
    void TestOpen(ISerialPort& msTestComm, IListBox& cboCommPorts, const std::string& name,
                  std::int64_t portNumber);

    PortListSource platformPortList_;
    PortSearchHold hold_;
    IRegistry& registry_;
    IMessageBox& messages_;
};

} // namespace fw
