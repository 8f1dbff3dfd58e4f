// The client's main driver file and the two control devices the library
// talks to.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

constexpr const wchar_t* kMainDriverServiceKey = L"System\\CurrentControlSet\\Services\\Veltrane";
constexpr const wchar_t* kMainControlDevice = L"\\\\.\\VELTRANE";
constexpr const wchar_t* kLockDevice = L"\\\\.\\RSVLOCK";
constexpr DWORD kSetCompressionCode = 0x0009C040;  // FSCTL_SET_COMPRESSION
constexpr DWORD kReservedSectorLockCode = 0x002220CC;
constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;
// Appended to the system copy's path: the install copy staged beside it.
constexpr const wchar_t* kStagedSuffix = L".tmp";

// The driver file exists in the system drivers directory and its service key opens.
BOOL IsMainDriverInstalled();

// Replaces the system copy of the driver with the install directory's copy
// when that one carries a higher version, between lock values 0 and 1. The
// install copy is first copied beside the system copy; its version is read
// there and it is moved over the system copy in one step, so that a failed
// copy or move leaves the system copy as it was. No staged file remains.
void RefreshMainDriverFile(const wchar_t* installDir);

// Opens a device unshared, write-through and unbuffered.
HANDLE OpenDeviceWriteThrough(const wchar_t* deviceName, DWORD access);

// Sends the main driver's control device a set-compression request with
// COMPRESSION_FORMAT_NONE; false when the device does not open or refuses.
BOOL ClearMainDeviceCompression();

// Sends the reserved-sector lock device one lock value; a device that does
// not open is skipped.
void SetReservedSectorLock(uint32_t lockValue);

}  // namespace vtpi
