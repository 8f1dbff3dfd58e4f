// devices.exe: makes, shows and removes the testbed's stand-in disk devices.
//
//   devices [--time] COMMAND [ARGS...] [+ COMMAND [ARGS...]]...
//
// Commands run in order in one process ("+" separates them), so that what one
// process sees right after another call can be checked:
//   add ID [FILTER...]          create ROOT\VTDISK\ID (filters: SPDRP_UPPERFILTERS)
//   add-many PREFIX FIRST COUNT [FILTER...]
//                               create ROOT\VTDISK\PREFIXnnnn, FIRST..FIRST+COUNT-1
//   set ID [FILTER...]          write SPDRP_UPPERFILTERS through SetupAPI; with no
//                               filter, clear it with (NULL, 0)
//   set-bytes ID HEX            write exactly HEX through SetupAPI
//   set-bytes-z ID HEX          the same from a buffer followed by a zero unit
//   set-raw ID TYPE HEX         write the Enum key's value directly with TYPE
//                               (sz, expand_sz, multi_sz, binary, dword, none or a
//                               number) and exactly HEX
//   delete-value ID             delete the Enum key's value
//   value ID                    show the Enum key's value as stored
//   list                        enumerate as the DLL does and show every device
//   remove ID                   remove ROOT\VTDISK\ID
//   remove-all                  remove every ROOT\VTDISK\... device
//   sleep MS                    wait (to look at the prefix between calls)
//   check                       make devices CHK00..CHK05, compare what SetupAPI
//                               returns for them with what the tests rely on,
//                               and remove them again
// HEX is bytes in hex, spaces and colons ignored: "58 00 00 00" or "58000000".
// Exit status 0 when every command succeeded, 1 otherwise, 2 on bad usage.
#include "devices_api.h"

#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

void Print(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    std::fputs(utf8.c_str(), stdout);
    std::fputc('\n', stdout);
}

std::wstring ErrorText(DWORD error) {
    wchar_t number[16];
    // SetupAPI's own codes read better in hex (0xE0000207, ...).
    swprintf(number, ARRAYSIZE(number), (error & 0xE0000000) ? L"0x%08lX" : L"%lu", error);
    std::wstring text = std::wstring(L"error ") + number;
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n && message) {
        std::wstring m(message, n);
        while (!m.empty() && (m.back() == L'\n' || m.back() == L'\r' || m.back() == L' ')) m.pop_back();
        text += L" (" + m + L")";
    }
    if (message) LocalFree(message);
    return text;
}

bool ParseHex(const std::wstring& text, vtdev::Bytes& out) {
    out.clear();
    int high = -1;
    for (wchar_t c : text) {
        if (c == L' ' || c == L':') continue;
        int v;
        if (c >= L'0' && c <= L'9') v = c - L'0';
        else if (c >= L'a' && c <= L'f') v = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') v = c - L'A' + 10;
        else return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<BYTE>(high * 16 + v));
            high = -1;
        }
    }
    return high < 0;
}

bool ParseNumber(const std::wstring& text, unsigned long& out) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    out = std::wcstoul(text.c_str(), &end, 0);
    return end && *end == L'\0';
}

bool ParseType(const std::wstring& text, DWORD& out) {
    struct Name { const wchar_t* name; DWORD type; };
    static const Name names[] = {{L"none", REG_NONE},         {L"sz", REG_SZ},
                                 {L"expand_sz", REG_EXPAND_SZ}, {L"binary", REG_BINARY},
                                 {L"dword", REG_DWORD},       {L"multi_sz", REG_MULTI_SZ}};
    for (const Name& n : names) {
        if (text == n.name) {
            out = n.type;
            return true;
        }
    }
    unsigned long v;
    if (!ParseNumber(text, v)) return false;
    out = static_cast<DWORD>(v);
    return true;
}

void PrintValue(const std::wstring& label, const vtdev::Stored& v) {
    if (!v.exists) {
        Print(label + L"absent");
        return;
    }
    Print(label + vtdev::TypeName(v.type) + L", " + std::to_wstring(v.bytes.size()) + L" bytes: [" +
          vtdev::HexBytes(v.bytes) + L"] " + vtdev::DescribeUnits(v.bytes));
}

void PrintDisk(const vtdev::Disk& d) {
    Print(d.instanceId + (d.ours ? L"" : L"  (not ours)"));
    std::wstring probe = L"  probe: ";
    probe += d.probeOk ? L"succeeded" : L"failed, " + ErrorText(d.probeError);
    probe += L", required ";
    probe += d.probeRequired == 0xFFFFFFFF ? L"(unchanged)" : std::to_wstring(d.probeRequired);
    Print(probe);
    if (!d.probeOk && d.probeError != ERROR_INSUFFICIENT_BUFFER) {
        Print(L"  upper filters: absent (probe error " + std::to_wstring(d.probeError) + L")");
    } else if (d.readCalled) {
        if (d.readOk) {
            Print(L"  upper filters: " + vtdev::TypeName(d.type) + L", " + std::to_wstring(d.bytes.size()) +
                  L" bytes: [" + vtdev::HexBytes(d.bytes) + L"] " + vtdev::DescribeUnits(d.bytes));
        } else {
            Print(L"  upper filters: read of " + std::to_wstring(d.probeRequired) + L" bytes failed, " +
                  ErrorText(d.readError) + L", type " + vtdev::TypeName(d.type));
        }
    }
    PrintValue(L"  registry: ", vtdev::ReadUpperFiltersValue(d.instanceId));
}

// What `check` expects of one device, as the enumeration returns it.
struct Expected {
    const wchar_t* id;
    DWORD probeError;
    DWORD probeRequired;
    DWORD type;        // of the value read back, when the read succeeds
    vtdev::Bytes bytes;
};

bool CheckOne(const Expected& e, const std::vector<vtdev::Disk>& disks) {
    const std::wstring instanceId = vtdev::InstanceIdFor(e.id);
    const vtdev::Disk* found = nullptr;
    for (const vtdev::Disk& d : disks) {
        if (d.instanceId == instanceId) found = &d;
    }
    bool ok = found && !found->probeOk && found->probeError == e.probeError &&
              found->probeRequired == e.probeRequired;
    if (ok && e.probeError == ERROR_INSUFFICIENT_BUFFER && e.probeRequired) {
        ok = found->readOk && found->type == e.type && found->bytes == e.bytes;
    }
    // The value as stored must be what was read through SetupAPI.
    const vtdev::Stored stored = vtdev::ReadUpperFiltersValue(instanceId);
    if (ok && e.probeError == ERROR_INSUFFICIENT_BUFFER) {
        ok = stored.exists && stored.type == e.type && stored.bytes == e.bytes;
    }
    Print(std::wstring(ok ? L"ok    " : L"FAIL  ") + instanceId);
    if (!ok && found) PrintDisk(*found);
    if (!ok && !found) Print(L"  not returned by the enumeration");
    return ok;
}

// Makes one device per case, lists them in this process, checks each, and
// removes them. Returns 0 when all are as expected.
int Check() {
    const wchar_t* ids[] = {L"CHK00", L"CHK01", L"CHK02", L"CHK03", L"CHK04", L"CHK05"};
    for (const wchar_t* id : ids) vtdev::RemoveDisk(id);

    const vtdev::Bytes list = vtdev::MultiSzBytes({L"FltA", L"FltB"});
    const vtdev::Bytes x = {'X', 0, 0, 0, 0, 0};
    const vtdev::Bytes sz = {'A', 0, 0, 0};
    const vtdev::Bytes unterminated = {'X', 0};
    const vtdev::Bytes extended = {'X', 0, 0, 0};
    DWORD error = ERROR_SUCCESS;
    auto step = [&error](DWORD e) {
        if (error == ERROR_SUCCESS) error = e;
    };
    step(vtdev::AddDisk(L"CHK00"));                        // no value
    step(vtdev::AddDisk(L"CHK01", {L"FltA", L"FltB"}));    // a list
    step(vtdev::AddDisk(L"CHK02", {L"FltA"}));             // cleared with (NULL, 0)
    step(vtdev::SetUpperFilterBytes(L"CHK02", {}));
    step(vtdev::AddDisk(L"CHK03"));                        // REG_SZ
    step(vtdev::SetRawUpperFilters(L"CHK03", REG_SZ, sz));
    step(vtdev::AddDisk(L"CHK04"));                        // "X\0\0" through SetupAPI
    step(vtdev::SetUpperFilterBytes(L"CHK04", x));
    step(vtdev::AddDisk(L"CHK05"));                        // unterminated, a NUL after it
    vtdev::Bytes buffer(unterminated);
    buffer.insert(buffer.end(), {0, 0});
    step(vtdev::SetUpperFilterBuffer(L"CHK05", buffer.data(), static_cast<DWORD>(unterminated.size())));

    bool ok = error == ERROR_SUCCESS;
    if (!ok) Print(L"FAIL  making the devices: " + ErrorText(error));
    std::vector<vtdev::Disk> disks;
    if (ok) {
        error = vtdev::ListDisks(disks);
        if (error != ERROR_SUCCESS) {
            Print(L"FAIL  enumeration: " + ErrorText(error));
            ok = false;
        }
    }
    if (ok) {
        const Expected cases[] = {
            {L"CHK00", ERROR_INVALID_DATA, 0, REG_NONE, {}},
            {L"CHK01", ERROR_INSUFFICIENT_BUFFER, static_cast<DWORD>(list.size()), REG_MULTI_SZ, list},
            {L"CHK02", ERROR_INSUFFICIENT_BUFFER, 0, REG_MULTI_SZ, {}},
            {L"CHK03", ERROR_INSUFFICIENT_BUFFER, 4, REG_SZ, sz},
            {L"CHK04", ERROR_INSUFFICIENT_BUFFER, 6, REG_MULTI_SZ, x},
            // The registry counts in the NUL that follows an unterminated string.
            {L"CHK05", ERROR_INSUFFICIENT_BUFFER, 4, REG_MULTI_SZ, extended},
        };
        for (const Expected& e : cases) ok = CheckOne(e, disks) && ok;
    }
    for (const wchar_t* id : ids) {
        const DWORD e = vtdev::RemoveDisk(id);
        if (e != ERROR_SUCCESS && e != ERROR_NO_SUCH_DEVINST) {
            Print(L"FAIL  removing " + vtdev::InstanceIdFor(id) + L": " + ErrorText(e));
            ok = false;
        }
    }
    Print(ok ? L"check passed" : L"check FAILED");
    return ok ? 0 : 1;
}

int Usage() {
    std::fputs("usage: devices [--time] COMMAND [ARGS...] [+ COMMAND [ARGS...]]...\n"
               "  add ID [FILTER...] | add-many PREFIX FIRST COUNT [FILTER...]\n"
               "  set ID [FILTER...] | set-bytes ID HEX | set-bytes-z ID HEX\n"
               "  set-raw ID TYPE HEX | delete-value ID | value ID\n"
               "  list | remove ID | remove-all | sleep MS | check\n",
               stderr);
    return 2;
}

// Runs one command; returns 0, 1 (failed) or 2 (bad usage).
int Run(const Args& a) {
    const std::wstring& cmd = a[0];
    const size_t n = a.size();
    DWORD error = ERROR_SUCCESS;
    if (cmd == L"add" && n >= 2) {
        error = vtdev::AddDisk(a[1], vtdev::List(a.begin() + 2, a.end()));
    } else if (cmd == L"add-many" && n >= 4) {
        unsigned long first, count;
        if (!ParseNumber(a[2], first) || !ParseNumber(a[3], count)) return Usage();
        error = vtdev::AddDisks(a[1], first, count, vtdev::List(a.begin() + 4, a.end()));
    } else if (cmd == L"set" && n >= 2) {
        error = n == 2 ? vtdev::SetUpperFilterBytes(a[1], {})
                       : vtdev::SetUpperFilters(a[1], vtdev::List(a.begin() + 2, a.end()));
    } else if ((cmd == L"set-bytes" || cmd == L"set-bytes-z") && n == 3) {
        vtdev::Bytes bytes;
        if (!ParseHex(a[2], bytes)) return Usage();
        if (cmd == L"set-bytes") {
            error = vtdev::SetUpperFilterBytes(a[1], bytes);
        } else {
            vtdev::Bytes buffer(bytes);
            buffer.insert(buffer.end(), {0, 0, 0, 0});
            error = vtdev::SetUpperFilterBuffer(a[1], buffer.data(), static_cast<DWORD>(bytes.size()));
        }
    } else if (cmd == L"set-raw" && n == 4) {
        DWORD type;
        vtdev::Bytes bytes;
        if (!ParseType(a[2], type) || !ParseHex(a[3], bytes)) return Usage();
        error = vtdev::SetRawUpperFilters(a[1], type, bytes);
    } else if (cmd == L"delete-value" && n == 2) {
        error = vtdev::DeleteUpperFilters(a[1]);
    } else if (cmd == L"value" && n == 2) {
        PrintValue(vtdev::InstanceIdFor(a[1]) + L": ", vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(a[1])));
    } else if (cmd == L"list" && n == 1) {
        std::vector<vtdev::Disk> disks;
        error = vtdev::ListDisks(disks);
        if (error == ERROR_SUCCESS) {
            Print(std::to_wstring(disks.size()) + L" device(s)");
            for (const vtdev::Disk& d : disks) PrintDisk(d);
        }
    } else if (cmd == L"remove" && n == 2) {
        error = vtdev::RemoveDisk(a[1]);
    } else if (cmd == L"remove-all" && n == 1) {
        unsigned removed = 0;
        error = vtdev::RemoveAllDisks(&removed);
        Print(L"removed " + std::to_wstring(removed));
    } else if (cmd == L"check" && n == 1) {
        return Check();
    } else if (cmd == L"sleep" && n == 2) {
        unsigned long ms;
        if (!ParseNumber(a[1], ms)) return Usage();
        Sleep(static_cast<DWORD>(ms));
    } else {
        return Usage();
    }
    if (error != ERROR_SUCCESS) {
        Print(cmd + L": " + ErrorText(error));
        return 1;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool timed = false;
    int i = 1;
    if (i < argc && std::wstring(argv[i]) == L"--time") {
        timed = true;
        ++i;
    }
    std::vector<Args> commands(1);
    for (; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"+") {
            commands.emplace_back();
        } else {
            commands.back().emplace_back(argv[i]);
        }
    }
    for (const Args& c : commands) {
        if (c.empty()) return Usage();
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    int status = 0;
    for (const Args& c : commands) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const int r = Run(c);
        QueryPerformanceCounter(&end);
        std::fflush(stdout);
        if (r == 2) return 2;
        if (r) status = 1;
        if (timed) {
            const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                              static_cast<double>(frequency.QuadPart);
            std::printf("# %ls: %.1f ms\n", c[0].c_str(), ms);
        }
    }
    std::fflush(stdout);
    return status;
}
