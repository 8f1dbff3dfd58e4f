// The Windows Installer functions a custom action uses. msi.dll is not a
// known DLL: it is loaded by full path from the system directory for one
// custom action and freed after it, so that the DLL's static imports stay
// those every served Windows has.
#pragma once

#include <windows.h>
#include <msiquery.h>

#include "base/owner.h"

namespace vtpi {

class InstallerSession {
public:
    explicit InstallerSession(MSIHANDLE install);
    InstallerSession(const InstallerSession&) = delete;
    InstallerSession& operator=(const InstallerSession&) = delete;

    // False when msi.dll or one of its functions could not be had.
    bool ok() const { return ok_; }

    // Reads a property into `value` (capacity units); false when it cannot
    // be read or does not fit. An absent property reads as empty.
    bool GetProperty(const wchar_t* name, wchar_t* value, DWORD capacity) const;
    bool SetProperty(const wchar_t* name, const wchar_t* value) const;
    // One informational line in the installer's log.
    void Log(const wchar_t* line) const;

private:
    MSIHANDLE install_;
    ModuleHandle library_;
    bool ok_ = false;
    decltype(&MsiGetPropertyW) getProperty_ = nullptr;
    decltype(&MsiSetPropertyW) setProperty_ = nullptr;
    decltype(&MsiCreateRecord) createRecord_ = nullptr;
    decltype(&MsiRecordSetStringW) setString_ = nullptr;
    decltype(&MsiProcessMessage) processMessage_ = nullptr;
    decltype(&MsiCloseHandle) closeHandle_ = nullptr;
};

}  // namespace vtpi
