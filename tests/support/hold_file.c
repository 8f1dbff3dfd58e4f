/* hold_file.exe PATH READY RELEASE: opens PATH for reading, sharing reading
 * only, as a virus scanner or backup program does, sets the named event
 * READY and keeps the file open until the named event RELEASE is set (two
 * minutes at most). Under WoW64 PATH is opened in the native file system.
 * Exit code 0 when the file was held, 1 otherwise. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    BOOL wow64 = FALSE;
    PVOID previous;
    HANDLE file, ready, release;
    if (argc != 4) return 1;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) Wow64DisableWow64FsRedirection(&previous);
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    release = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
    if (file == INVALID_HANDLE_VALUE || !ready || !release) return 1;
    SetEvent(ready);
    WaitForSingleObject(release, 120000);
    CloseHandle(file);
    return 0;
}
