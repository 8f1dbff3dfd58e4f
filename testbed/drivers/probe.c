/*
 * User-mode probe for the stand-in drivers. Opens and drives the devices the
 * way the DLL does, and reads back what the drivers recorded.
 *
 *   probe veltrane              open \\.\VELTRANE, send 0x0009C040 with a
 *                               2-byte zero, close
 *   probe rsvlock VALUE         open \\.\RSVLOCK, send 0x002220CC with the
 *                               4-byte VALUE, close
 *   probe record SERVICE        print SERVICE's recorded requests, one a line:
 *                               "CODE LENGTH HEXBYTES"
 *   probe reset SERVICE         delete SERVICE's record
 *   probe version FILE          print FILE's fixed file version
 *                               "a.b.c.d 0xMS 0xLS", or "none ERROR" when FILE
 *                               has no version resource
 *   probe copy SOURCE TARGET    CopyFileW(SOURCE, TARGET, FALSE); prints
 *                               "copied" or "error N"
 *
 * Exit status 0 on success, 1 on failure (the reason on stdout).
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int send_request(const wchar_t *path, DWORD code, const void *input, DWORD length)
{
    DWORD bytes = 0;
    BOOL ok;
    HANDLE h = CreateFileW(path, GENERIC_ALL, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("open failed %lu\n", GetLastError());
        return 1;
    }
    ok = DeviceIoControl(h, code, (void *)input, length, NULL, 0, &bytes, NULL);
    if (!ok)
        printf("ioctl failed %lu\n", GetLastError());
    else
        printf("ioctl ok %lu\n", bytes);
    if (!CloseHandle(h)) {
        printf("close failed %lu\n", GetLastError());
        return 1;
    }
    return ok ? 0 : 1;
}

static HKEY open_parameters(const wchar_t *service, REGSAM access, LSTATUS *status)
{
    wchar_t path[256];
    HKEY key = NULL;
    _snwprintf(path, 255, L"System\\CurrentControlSet\\Services\\%ls\\Parameters", service);
    path[255] = 0;
    *status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key);
    return *status == ERROR_SUCCESS ? key : NULL;
}

static int print_record(const wchar_t *service)
{
    LSTATUS status;
    DWORD type = 0, size = 0, at = 0;
    BYTE *data;
    HKEY key = open_parameters(service, KEY_QUERY_VALUE, &status);
    if (!key)
        return status == ERROR_FILE_NOT_FOUND ? 0 : (printf("open key failed %ld\n", status), 1);
    status = RegQueryValueExW(key, L"Requests", NULL, &type, NULL, &size);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return status == ERROR_FILE_NOT_FOUND ? 0 : (printf("query failed %ld\n", status), 1);
    }
    data = malloc(size ? size : 1);
    if (!data) {
        RegCloseKey(key);
        printf("out of memory\n");
        return 1;
    }
    status = RegQueryValueExW(key, L"Requests", NULL, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_BINARY) {
        free(data);
        printf("query failed %ld type %lu\n", status, type);
        return 1;
    }
    while (at < size) {
        DWORD code, length, i;
        if (size - at < 8) {
            free(data);
            printf("truncated record\n");
            return 1;
        }
        memcpy(&code, data + at, 4);
        memcpy(&length, data + at + 4, 4);
        at += 8;
        if (length > size - at) {
            free(data);
            printf("truncated record\n");
            return 1;
        }
        printf("0x%08lX %lu ", code, length);
        for (i = 0; i < length; i++)
            printf("%02X", data[at + i]);
        printf("\n");
        at += length;
    }
    free(data);
    return 0;
}

static int reset_record(const wchar_t *service)
{
    LSTATUS status;
    HKEY key = open_parameters(service, KEY_SET_VALUE, &status);
    if (!key)
        return status == ERROR_FILE_NOT_FOUND ? 0 : (printf("open key failed %ld\n", status), 1);
    status = RegDeleteValueW(key, L"Requests");
    RegCloseKey(key);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        printf("delete failed %ld\n", status);
        return 1;
    }
    return 0;
}

static int print_version(const wchar_t *file)
{
    DWORD handle = 0, size = GetFileVersionInfoSizeW(file, &handle);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    void *block;
    if (!size) {
        DWORD error = GetLastError();
        if (error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND) {
            printf("none %lu\n", error);
            return 0;
        }
        printf("size failed %lu\n", error);
        return 1;
    }
    block = malloc(size);
    if (!block) {
        printf("out of memory\n");
        return 1;
    }
    if (!GetFileVersionInfoW(file, 0, size, block)
        || !VerQueryValueW(block, L"\\", (void **)&info, &length)
        || length < sizeof(*info)) {
        printf("query failed %lu\n", GetLastError());
        free(block);
        return 1;
    }
    printf("%lu.%lu.%lu.%lu 0x%08lX 0x%08lX\n",
           info->dwFileVersionMS >> 16, info->dwFileVersionMS & 0xffff,
           info->dwFileVersionLS >> 16, info->dwFileVersionLS & 0xffff,
           info->dwFileVersionMS, info->dwFileVersionLS);
    free(block);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && !wcscmp(argv[1], L"veltrane")) {
        const WORD zero = 0;
        return send_request(L"\\\\.\\VELTRANE", 0x0009C040, &zero, sizeof(zero));
    }
    if (argc == 3 && !wcscmp(argv[1], L"rsvlock")) {
        const DWORD value = wcstoul(argv[2], NULL, 0);
        return send_request(L"\\\\.\\RSVLOCK", 0x002220CC, &value, sizeof(value));
    }
    if (argc == 3 && !wcscmp(argv[1], L"record"))
        return print_record(argv[2]);
    if (argc == 3 && !wcscmp(argv[1], L"reset"))
        return reset_record(argv[2]);
    if (argc == 3 && !wcscmp(argv[1], L"version"))
        return print_version(argv[2]);
    if (argc == 4 && !wcscmp(argv[1], L"copy")) {
        if (CopyFileW(argv[2], argv[3], FALSE)) {
            printf("copied\n");
            return 0;
        }
        printf("error %lu\n", GetLastError());
        return 1;
    }
    printf("usage: probe veltrane | rsvlock VALUE | record SERVICE | reset SERVICE"
           " | version FILE | copy SOURCE TARGET\n");
    return 2;
}
