#include "base/msi.h"

#include "base/system_library.h"

namespace vtpi {

InstallerSession::InstallerSession(MSIHANDLE install)
    : install_(install), library_(LoadSystemLibrary(L"msi.dll")) {
    ok_ = library_.valid() && LookUp(library_.get(), "MsiGetPropertyW", getProperty_) &&
          LookUp(library_.get(), "MsiSetPropertyW", setProperty_) &&
          LookUp(library_.get(), "MsiCreateRecord", createRecord_) &&
          LookUp(library_.get(), "MsiRecordSetStringW", setString_) &&
          LookUp(library_.get(), "MsiProcessMessage", processMessage_) &&
          LookUp(library_.get(), "MsiCloseHandle", closeHandle_);
}

bool InstallerSession::GetProperty(const wchar_t* name, wchar_t* value, DWORD capacity) const {
    if (capacity == 0) return false;
    value[0] = 0;
    DWORD units = capacity;
    if (getProperty_(install_, name, value, &units) == ERROR_SUCCESS && units < capacity) return true;
    value[0] = 0;
    return false;
}

bool InstallerSession::SetProperty(const wchar_t* name, const wchar_t* value) const {
    return setProperty_(install_, name, value) == ERROR_SUCCESS;
}

void InstallerSession::Log(const wchar_t* line) const {
    const MSIHANDLE record = createRecord_(1);
    if (!record) return;
    // The text goes in as a field, so that brackets in it are not read as
    // the installer's formatting.
    if (setString_(record, 0, L"[1]") == ERROR_SUCCESS && setString_(record, 1, line) == ERROR_SUCCESS) {
        processMessage_(install_, INSTALLMESSAGE_INFO, record);
    }
    closeHandle_(record);
}

}  // namespace vtpi
