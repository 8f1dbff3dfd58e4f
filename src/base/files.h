// Files, devices and file versions.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "base/owner.h"

namespace vtpi {

// The attributes of the directory entry, file or folder, that `path` names;
// INVALID_FILE_ATTRIBUTES, with the search's error as the last error, when
// none does.
DWORD FindAttributes(const wchar_t* path);

// True when `path` names an existing item that is not a directory.
bool IsExistingFile(const wchar_t* path);

// Whether `path` is known not to exist: its file or a folder on its way is
// missing. False when the search fails for any other reason.
bool IsMissingFile(const wchar_t* path);

// Opens what `path` names (a file, a folder or a device) asking only for
// `access`, sharing it whole, and reads its attributes into *attributes
// (INVALID_FILE_ATTRIBUTES when they cannot be read). ERROR_SUCCESS, or the
// error of the open: ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when
// nothing of that name exists.
DWORD ProbeEntry(const wchar_t* path, DWORD access, DWORD* attributes);

// True when `path` names an existing folder.
bool IsExistingFolder(const wchar_t* path);

// Deletes a file, clearing a read-only attribute (copied from a read-only
// source) when that is what refuses the deletion.
void DeleteFileEvenReadOnly(const wchar_t* path);

// Opens `device` unshared, write-through and unbuffered, and sends it one control request without output; the
// outcome is traced with the request's code and first input bytes. False
// when the device does not open or refuses.
bool SendDeviceRequest(const wchar_t* device, DWORD code, const void* input, DWORD inputBytes);

// The machine type of the PE image `path` names (IMAGE_FILE_MACHINE_*, from
// its file header); 0 when it does not open or is no PE image.
WORD ReadImageMachine(const wchar_t* path);

// The version-resource functions of VERSION.DLL, which is not a known DLL:
// loaded by full path from the system directory for the object's lifetime.
class FileVersions {
public:
    FileVersions();
    FileVersions(const FileVersions&) = delete;
    FileVersions& operator=(const FileVersions&) = delete;

    bool ok() const { return ok_; }

    // The file version (dwFileVersionMS:dwFileVersionLS), which compares as
    // an unsigned number; 0 when there is none, or when the resource's fixed
    // block is short or lacks its signature.
    uint64_t Of(const wchar_t* path) const;

private:
    ModuleHandle library_;
    bool ok_ = false;
    decltype(&GetFileVersionInfoSizeW) getSize_ = nullptr;
    decltype(&GetFileVersionInfoW) getInfo_ = nullptr;
    decltype(&VerQueryValueW) query_ = nullptr;
};

}  // namespace vtpi
