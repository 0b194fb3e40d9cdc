#include "engine/RunConfig.h"

namespace fw {

RunConfig ReadRunConfig(Settings& settings) {
    const RunConfig defaults;
    RunConfig c;
    c.type = settings.GetSettingValue(kSection, kConnectionType, defaults.type);
    c.comPort = settings.GetSettingValue(kSection, kComPort, defaults.comPort);
    c.usbSerial = settings.GetSettingValue(kSection, kUsbAnalyser, defaults.usbSerial);
    c.address = settings.GetSettingValue(kSection, kAddress, defaults.address);
    c.filename = settings.GetSettingValue(kSection, kFilename, defaults.filename);
    return c;
}

} // namespace fw
