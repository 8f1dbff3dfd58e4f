// Driver refresh: the system copy of the client's main driver is replaced
// by the install folder's copy when that one carries a higher version, and
// the main driver's control device is told to clear compression.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

constexpr const wchar_t* kMainControlDevice = L"\\\\.\\VELTRANE";
constexpr const wchar_t* kLockDevice = L"\\\\.\\RSVLOCK";
constexpr DWORD kSetCompressionCode = 0x0009C040;  // FSCTL_SET_COMPRESSION
constexpr DWORD kReservedSectorLockCode = 0x002220CC;
// Appended to the system copy's path: the install copy staged beside it.
constexpr const wchar_t* kStagedSuffix = L".tmp";

// The file refresh, then the compression request. Fails only for an install
// copy built for another processor, with ERROR_BAD_EXE_FORMAT: every other
// outcome is traced and lets the call go on.
DWORD RefreshMainDriver(const wchar_t* installCopy);

// Replaces the system copy of the driver with `installCopy` when that one
// carries a higher version, between lock values 0 and 1. The install copy is
// first copied beside the system copy; its version is read there, it is
// flushed to disk and moved over the system copy in one step, so that a
// failed copy, flush or move leaves the system copy as it was. A newer copy
// whose PE machine type is not the machine's native one is not moved:
// ERROR_BAD_EXE_FORMAT. No staged file remains. ERROR_SUCCESS when replaced
// or not newer; the error that stopped the refresh otherwise.
DWORD RefreshMainDriverFile(const wchar_t* installCopy);

// Deletes a staged copy that a call ended midway left beside the system
// copy; an error only when the native system directory is out of reach.
DWORD RemoveStagedDriver();

// Sends the main driver's control device a set-compression request with
// COMPRESSION_FORMAT_NONE; false when the device does not open or refuses.
bool ClearMainDeviceCompression();

}  // namespace vtpi
