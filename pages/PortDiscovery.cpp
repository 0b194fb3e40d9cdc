#include "pages/PortDiscovery.h"

#include "settings/Text.h"
#include "settings/UsefulUtils.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace fw {

namespace {

constexpr const char* kPortMissingCaption = "Comm port search";
constexpr const char* kPortMissingText =
    "The COM port specified no longer exists.\r\nSetting will be changed to a valid COM port.";
constexpr const char* kNoPortsCaption = "Comm Port Search";
constexpr const char* kNoPortsText = "No communication ports found!!!";

// Ports 1 to 16 are tried in turn when the platform has no list.
constexpr int kProbedPorts = 16;

// A number as text with a blank in front when it is not negative: " 0", " 1".
// The other program reads the index in this form.
std::string NumberText(int number) {
    return (number >= 0 ? " " : "") + std::to_string(number);
}

bool EndsInMark(const std::string& entry) {
    return !entry.empty() && entry.back() == ')';
}

} // namespace

PortListSource RegistryPortList(IRegistry& registry) {
    return [&registry] { return RegListValueData(registry, kSerialCommKeyPath); };
}

std::int64_t EntryPortNumber(const std::string& entry) {
    if (entry.size() <= 3) {
        return 0;
    }
    std::size_t i = 3;
    while (i < entry.size() && (entry[i] == ' ' || entry[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < entry.size() && (entry[i] == '+' || entry[i] == '-')) {
        negative = entry[i] == '-';
        ++i;
    }
    // Saturates far beyond any port number, so a long run of digits stays out
    // of range instead of wrapping round to a valid one.
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; ++i) {
        value = std::min(kLimit, value * 10 + (entry[i] - '0'));
    }
    return negative ? -value : value;
}

PortDiscovery::PortDiscovery(PortListSource platformPortList, IRegistry& registry,
                             IMessageBox& messages, PortSearchHold hold)
    : platformPortList_(std::move(platformPortList)), hold_(std::move(hold)), registry_(registry),
      messages_(messages) {
}

// Lists `name` when port `portNumber` opens, with the mark when another program
// holds it, and not at all on any other failure.
void PortDiscovery::TestOpen(ISerialPort& msTestComm, IListBox& cboCommPorts,
                             const std::string& name, std::int64_t portNumber) {
    if (portNumber < std::numeric_limits<std::int16_t>::min() ||
        portNumber > std::numeric_limits<std::int16_t>::max()) {
        return; // cannot even be handed to the control
    }
    CommError error = msTestComm.SetCommPort(static_cast<std::int16_t>(portNumber));
    if (!error) {
        error = msTestComm.SetPortOpen(true);
    }
    if (!error) {
        cboCommPorts.AddItem(name);
        msTestComm.SetPortOpen(false);
    } else if (error.number == kCommErrPortInUse) {
        cboCommPorts.AddItem(name + kInUseMark);
    }
}

VbBool PortDiscovery::loadComPortAndBaud(ISerialPort& msTestComm, IListBox& cboCommPorts,
                                         std::uint8_t comPort, VbBool sysParamSetting) {
    if (cboCommPorts.ListCount() == 0) {
        const std::shared_ptr<void> held = hold_ ? hold_() : nullptr;
        const std::string text = platformPortList_ ? platformPortList_() : std::string();
        if (!text.empty()) {
            // Each name is followed by a NUL. A last name without one (a list cut
            // short) is still tried: it ends the walk either way, and a name
            // that does not name a port that opens is not listed.
            std::size_t start = 0;
            while (start < text.size()) {
                const std::size_t nul = text.find('\0', start);
                const std::size_t end = nul == std::string::npos ? text.size() : nul;
                const std::string name = text.substr(start, end - start);
                TestOpen(msTestComm, cboCommPorts, name, EntryPortNumber(name));
                if (nul == std::string::npos) {
                    break;
                }
                start = nul + 1;
            }
        } else {
            for (int n = 1; n <= kProbedPorts; ++n) {
                TestOpen(msTestComm, cboCommPorts, ComName(n), n);
            }
        }
    }

    if (comPort != 0) {
        for (int i = 0; i < cboCommPorts.ListCount(); ++i) {
            if (EntryPortNumber(cboCommPorts.List(i)) == comPort) {
                cboCommPorts.SetListIndex(i);
                return kTrue;
            }
        }
        messages_.Show(kPortMissingText, MsgIcon::None, kPortMissingCaption);
    }

    if (cboCommPorts.ListCount() == 0) {
        messages_.Show(kNoPortsText, MsgIcon::None, kNoPortsCaption);
        return kFalse;
    }
    int index = 0;
    for (int i = 0; i < cboCommPorts.ListCount(); ++i) {
        if (!EndsInMark(cboCommPorts.List(i))) {
            index = i;
            break;
        }
    }
    cboCommPorts.SetListIndex(index);
    if (sysParamSetting == kFalse) {
        // A failed write is of no consequence here: the other program keeps its
        // own choice.
        RegWriteString(registry_, kAlarmKeyPath, kAlarmComPortValue, NumberText(index),
                       HKEY_LOCAL_MACHINE);
    }
    return kTrue;
}

} // namespace fw
