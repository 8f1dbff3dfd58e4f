#include "base/files.h"

#include "base/system_library.h"
#include "base/trace.h"

namespace vtpi {

namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

// "002220CC 01000000": the request's code and input bytes, for the trace.
void TraceRequest(const wchar_t* device, DWORD code, const void* input, DWORD inputBytes, const wchar_t* outcome,
                  DWORD error) {
    wchar_t bytes[2 * 8 + 1] = {};
    for (DWORD i = 0; i < inputBytes && i < 8; ++i) {
        wsprintfW(bytes + 2 * i, L"%02X", static_cast<const BYTE*>(input)[i]);
    }
    Trace("  request %08lX %s to %s: %s, error %lu", code, bytes, device, outcome, error);
}

// Reads `bytes` bytes at `offset` of a file opened for synchronous access.
bool ReadAt(HANDLE file, DWORD offset, void* into, DWORD bytes) {
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD read = 0;
    return ReadFile(file, into, bytes, &read, &at) && read == bytes;
}

HANDLE OpenDeviceWriteThrough(const wchar_t* deviceName, DWORD access) {
    return CreateFileW(deviceName, access, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr);
}

}  // namespace

DWORD FindAttributes(const wchar_t* path) {
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW(path, &found));
    return search.valid() ? found.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

bool IsExistingFile(const wchar_t* path) {
    const DWORD attributes = FindAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsMissingFile(const wchar_t* path) {
    if (FindAttributes(path) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

DWORD ProbeEntry(const wchar_t* path, DWORD access, DWORD* attributes) {
    *attributes = INVALID_FILE_ATTRIBUTES;
    const FileHandle entry(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry) return LastErrorOrGeneric();
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(entry.get(), &info)) *attributes = info.dwFileAttributes;
    return ERROR_SUCCESS;
}

bool IsExistingFolder(const wchar_t* path) {
    DWORD attributes;
    return ProbeEntry(path, FILE_READ_ATTRIBUTES, &attributes) == ERROR_SUCCESS &&
           attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void DeleteFileEvenReadOnly(const wchar_t* path) {
    if (DeleteFileW(path) || GetLastError() != ERROR_ACCESS_DENIED) return;
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
}

bool SendDeviceRequest(const wchar_t* device, DWORD code, const void* input, DWORD inputBytes) {
    const FileHandle handle(OpenDeviceWriteThrough(device, GENERIC_ALL));
    if (!handle.valid()) {
        TraceRequest(device, code, input, inputBytes, L"device did not open", GetLastError());
        return false;
    }
    DWORD returned = 0;
    const BOOL sent = DeviceIoControl(handle.get(), code, const_cast<void*>(input), inputBytes, nullptr, 0,
                                      &returned, nullptr);
    TraceRequest(device, code, input, inputBytes, sent ? L"done" : L"refused", sent ? 0 : GetLastError());
    return sent != FALSE;
}

WORD ReadImageMachine(const wchar_t* path) {
    const FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    IMAGE_DOS_HEADER dos;
    DWORD pe[2];  // the PE signature, then the file header's Machine in the low word
    if (!file || !ReadAt(file.get(), 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !ReadAt(file.get(), static_cast<DWORD>(dos.e_lfanew), pe, sizeof(pe)) || pe[0] != IMAGE_NT_SIGNATURE) {
        return 0;
    }
    return LOWORD(pe[1]);
}

FileVersions::FileVersions() : library_(LoadSystemLibrary(L"VERSION.DLL")) {
    ok_ = library_.valid() && LookUp(library_.get(), "GetFileVersionInfoSizeW", getSize_) &&
          LookUp(library_.get(), "GetFileVersionInfoW", getInfo_) && LookUp(library_.get(), "VerQueryValueW", query_);
}

uint64_t FileVersions::Of(const wchar_t* path) const {
    DWORD handle = 0;
    const DWORD size = getSize_(path, &handle);
    if (size == 0) return 0;
    HeapBlock info;
    if (!info.Allocate(size)) return 0;
    if (!getInfo_(path, handle, size, info.get())) return 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!query_(info.get(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) return 0;
    if (length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != kFixedFileInfoSignature) return 0;
    return (static_cast<uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}

}  // namespace vtpi
