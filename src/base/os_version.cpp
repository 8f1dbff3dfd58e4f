#include "base/os_version.h"

namespace vtpi {

BOOL IsNtPlatform() {
    return (GetVersion() & 0x80000000u) == 0;
}

BOOL IsWindows2000OrLater() {
    return IsNtPlatform() && (GetVersion() & 0xFFu) >= 5;
}

BOOL IsVistaOrLater() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExW(&info);
    return info.dwMajorVersion >= 6;
}

}  // namespace vtpi
