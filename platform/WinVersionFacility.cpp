// The version facility on Windows: the system's own version calls. Registry
// reads go to the registry the facility was made with (the system registry in
// the program).
//
// Our headers come before <windows.h>: it defines ERROR_SUCCESS, REG_SZ and the
// VER_* names as macros, which would rewrite our declarations of them.
#include "platform/VersionFacility.h"

#include "settings/WinApi.h"

namespace fw {

namespace {

::OSVERSIONINFOEXA ToSystem(const OsVersionInfoEx& info) {
    ::OSVERSIONINFOEXA system{};
    system.dwOSVersionInfoSize = sizeof system;
    CopyVersionRecord(info, system);
    return system;
}

class WinVersionFacility final : public IVersionFacility {
public:
    explicit WinVersionFacility(IRegistry& registry) : registry_(registry) {}

    bool GetVersionExA(OsVersionInfo& info) override {
        ::OSVERSIONINFOA system{};
        system.dwOSVersionInfoSize = info.dwOSVersionInfoSize;
        const bool ok = ::GetVersionExA(&system) != 0;
        CopyVersionRecord(system, info);
        return ok;
    }

    bool GetVersionExA(OsVersionInfoEx& info) override {
        ::OSVERSIONINFOEXA system{};
        system.dwOSVersionInfoSize = info.dwOSVersionInfoSize;
        const bool ok = ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&system)) != 0;
        CopyVersionRecord(system, info);
        return ok;
    }

    ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                  BYTE condition) override {
        return ::VerSetConditionMask(conditionMask, typeMask, condition);
    }

    bool VerifyVersionInfoA(const OsVersionInfoEx& info, DWORD typeMask,
                            ULONGLONG conditionMask) override {
        ::OSVERSIONINFOEXA system = ToSystem(info);
        return ::VerifyVersionInfoA(&system, typeMask, conditionMask) != 0;
    }

    IRegistry& Registry() override { return registry_; }

private:
    IRegistry& registry_;
};

} // namespace

std::shared_ptr<IVersionFacility> MakePlatformVersionFacility(IRegistry& registry) {
    return std::make_shared<WinVersionFacility>(registry);
}

} // namespace fw
