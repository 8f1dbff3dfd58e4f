// What the DLL costs on the testbed, printed for tools/benchmark:
//  1. the platform calls one install and one uninstall make, counted by the
//     spy on the DLL's imports (and on the SETUPAPI entry points it looks up);
//  2. install times with 0, 16 and 256 disk devices, beside the same SetupAPI
//     work done without the DLL, and with 10 and 500 shared-files entries;
//  3. per-device and per-entry costs, to show how the cost grows.
// The machine is put back as prepare-machine left it at the end. Exits 1 when
// a call under measurement did not do what it should.
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "devices_api.h"
#include "dll.h"
#include "registry.h"
#include "services.h"
#include "spy.h"
#include "steps/class_filters.h"
#include "steps/client_manager.h"
#include "steps/disk_filter.h"
#include "steps/driver_refresh.h"
#include "steps/legacy_service.h"
#include "steps/main_driver.h"
#include "steps/tray_application.h"
#include "base/registry.h"
#include "base/shell_folders.h"
#include "testbed.h"

namespace {

constexpr int kRepeats = 11;
const wchar_t* const kInstallDir = L"C:\\Program Files\\Veltrane";
const char* const kInstallDirAnsi = "C:\\Program Files\\Veltrane";
const wchar_t* const kDevicePrefix = L"BENCH";
const testreg::List kDeviceFilters = {L"X", L"veltrane"};
const testreg::List kStrippedFilters = {L"X"};
const std::wstring kShared = vtpi::kSharedFilesKey;

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (ok) return;
    ++g_failures;
    printf("CHECK FAILED: %s\n", what);
}

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

struct Stats {
    double min = 0, median = 0;
};

struct Timed {
    std::function<void()> prepare;  // untimed, before every run
    std::function<void()> run;
    std::function<void()> check = [] {};  // untimed, after every run
};

// Runs every variant once per round, kRepeats rounds, so that a slow spell of
// the shared Wine server falls on all of them alike.
std::vector<Stats> Measure(const std::vector<Timed>& variants) {
    std::vector<std::vector<double>> ms(variants.size());
    for (int round = 0; round < kRepeats; ++round) {
        for (size_t i = 0; i < variants.size(); ++i) {
            variants[i].prepare();
            const double start = NowMs();
            variants[i].run();
            ms[i].push_back(NowMs() - start);
            variants[i].check();
        }
    }
    std::vector<Stats> out;
    for (std::vector<double>& v : ms) {
        std::sort(v.begin(), v.end());
        out.push_back({v.front(), v[v.size() / 2]});
    }
    return out;
}

int Install() { return testdll::Installer()(1, kInstallDir, 0); }
int HelperInstall() { return testdll::Helper()(kInstallDirAnsi, 1, 0); }

// ---------------------------------------------------------------- files

std::vector<char> ReadFileBytes(const char* path, bool* exists) {
    std::vector<char> bytes;
    FILE* f = fopen(path, "rb");
    *exists = f != nullptr;
    if (!f) return bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

// A file's content (or its absence), put back by Restore and the destructor.
class FileSnapshot {
public:
    explicit FileSnapshot(const char* path) : path_(path) { bytes_ = ReadFileBytes(path, &existed_); }
    ~FileSnapshot() { Restore(); }
    FileSnapshot(const FileSnapshot&) = delete;
    FileSnapshot& operator=(const FileSnapshot&) = delete;
    void Restore() {
        if (!existed_) {
            DeleteFileA(path_.c_str());
            return;
        }
        FILE* f = fopen(path_.c_str(), "wb");
        if (!f) return;
        if (!bytes_.empty()) fwrite(bytes_.data(), 1, bytes_.size(), f);
        fclose(f);
    }

private:
    std::string path_;
    bool existed_ = false;
    std::vector<char> bytes_;
};

// ---------------------------------------------------------------- call counts

struct Counted {
    int result = 0;
    std::map<std::string, int> perFunction;
    size_t total = 0;
    std::string held;
};

Counted CountCalls(const std::function<int()>& call) {
    Counted out;
    spy::Scope scope(testdll::Module());
    out.result = call();
    const std::vector<spy::Call> calls = spy::Calls();
    out.total = calls.size();
    for (const spy::Call& c : calls) ++out.perFunction[c.function];
    out.held = spy::DescribeHeld();
    return out;
}

void PrintCallTable(const std::vector<std::pair<const char*, Counted>>& columns) {
    std::map<std::string, bool> functions;
    for (const auto& column : columns) {
        for (const auto& entry : column.second.perFunction) functions[entry.first] = true;
    }
    printf("%-36s", "function");
    for (const auto& column : columns) printf(" %13s", column.first);
    printf("\n");
    for (const auto& f : functions) {
        printf("%-36s", f.first.c_str());
        for (const auto& column : columns) {
            const auto it = column.second.perFunction.find(f.first);
            printf(" %13d", it == column.second.perFunction.end() ? 0 : it->second);
        }
        printf("\n");
    }
    printf("%-36s", "TOTAL");
    for (const auto& column : columns) printf(" %13u", static_cast<unsigned>(column.second.total));
    printf("\n%-36s", "result");
    for (const auto& column : columns) printf(" %13d", column.second.result);
    printf("\n%-36s", "held after the call");
    for (const auto& column : columns) {
        printf(" %13s", column.second.held.empty() ? "nothing" : column.second.held.c_str());
    }
    printf("\n");
    for (const auto& column : columns) {
        Check(column.second.result == 0, "a counted call returned 0");
        Check(column.second.held.empty(), "a counted call released everything it acquired");
    }
}

// ---------------------------------------------------------------- devices

std::wstring DeviceId(unsigned n) {
    wchar_t number[16];
    swprintf(number, 16, L"%04u", n);
    return kDevicePrefix + std::wstring(number);
}

void ResetDeviceLists(unsigned count) {
    const vtdev::Bytes bytes = vtdev::MultiSzBytes(kDeviceFilters);
    for (unsigned i = 0; i < count; ++i) {
        if (vtdev::SetRawUpperFilters(DeviceId(i), REG_MULTI_SZ, bytes) != ERROR_SUCCESS) {
            Check(false, "a device's list was reset");
            return;
        }
    }
}

unsigned CountStripped(unsigned count) {
    const vtdev::Bytes stripped = vtdev::MultiSzBytes(kStrippedFilters);
    unsigned n = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(DeviceId(i))).bytes == stripped) ++n;
    }
    return n;
}

// What the DLL's device step asks of SetupAPI, made directly: the disk
// interface set, each device's upper-filter size probe and read and, with
// `write`, the list written back without the disk filter. Devices visited.
unsigned BareDeviceWalk(bool write) {
    const HDEVINFO set = SetupDiGetClassDevsW(&vtdev::kDiskInterface, nullptr, nullptr,
                                              DIGCF_DEVICEINTERFACE | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    const vtdev::Bytes stripped = vtdev::MultiSzBytes(kStrippedFilters);
    std::vector<BYTE> buffer;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    unsigned visited = 0;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        ++visited;
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, nullptr, nullptr, 0, &required) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
            continue;
        }
        buffer.assign(required + 4, 0);
        DWORD type = REG_NONE;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, &type, buffer.data(), required,
                                               nullptr)) {
            continue;
        }
        if (write) {
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, stripped.data(),
                                              static_cast<DWORD>(stripped.size()));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return visited;
}

struct DeviceRow {
    unsigned devices;
    Stats install, step, enumerate, walk;
};

DeviceRow MeasureDevices(unsigned count) {
    // One untimed install first: SETUPAPI loaded, the client manager registered.
    Check(Install() == 0, "the warm-up install returned 0");
    const auto reset = [count] { ResetDeviceLists(count); };
    // Each variant must have done the whole work: its result, and every
    // device's list as it should then be.
    bool ok = false;
    unsigned visited = 0;
    const auto stripped = [&](const char* what) {
        return [&ok, count, what] { Check(ok && CountStripped(count) == count, what); };
    };
    const std::vector<Stats> s = Measure({
        {reset, [&] { ok = Install() == 0; }, stripped("an install returned 0 and stripped every device")},
        {reset, [&] { ok = vtpi::DiskDeviceLists().StripFilter() == ERROR_SUCCESS; }, stripped("the device step stripped every device")},
        {reset, [&] { visited = BareDeviceWalk(false); },
         [&] { Check(visited == count && CountStripped(count) == 0, "the enumeration saw every device"); }},
        {reset, [&] { ok = BareDeviceWalk(true) == count; }, stripped("the SetupAPI walk wrote every device")},
    });
    return {count, s[0], s[1], s[2], s[3]};
}

// ---------------------------------------------------------------- shared files

std::wstring EntryKey(const std::wstring& name) { return kShared + L"\\" + name; }

void SetPath(const std::wstring& entry, const std::wstring& path) {
    testreg::SetString(EntryKey(entry).c_str(), L"Path", path);
}

std::vector<std::wstring> EntryNames() {
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kShared.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i) names.push_back(name);
    RegCloseKey(key);
    return names;
}

// The tray application as the DLL records it: on the 64-bit machine it is in
// the native Program Files folder (ProgramFilesDir in the 64-bit view).
std::wstring TrayPath() {
    wchar_t folder[MAX_PATH] = {};
    const bool found = testbed::OnWow64()
                           ? vtpi::ReadRegistryValue(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion",
                                                     L"ProgramFilesDir", folder, (MAX_PATH - 1) * sizeof(wchar_t),
                                                     KEY_WOW64_64KEY)
                           : vtpi::GetSpecialFolderPath(CSIDL_PROGRAM_FILES, folder);
    if (!found) wcscpy(folder, L"C:\\Program Files");
    return std::wstring(folder) + vtpi::kTrayApplication;
}

std::wstring OtherPath(unsigned n) {
    return L"C:\\Program Files\\Shared\\App" + std::to_wstring(n) + L"\\common" + std::to_wstring(n) + L".dll";
}

struct EntryRow {
    unsigned entries;
    Stats helper, recording;
    int enumCalls = 0, totalCalls = 0;
};

// Entry1..EntryN, each with a path and one id; returns the name that
// enumerates last, which then names the tray application when `trayLast`.
std::wstring MakeEntries(unsigned count, bool trayLast) {
    testreg::DeleteTree(kShared.c_str());
    for (unsigned n = 1; n <= count; ++n) {
        const std::wstring name = L"Entry" + std::to_wstring(n);
        SetPath(name, OtherPath(n));
        testreg::SetList(EntryKey(name).c_str(), L"AppIds", {L"APP" + std::to_wstring(n)});
    }
    const std::wstring last = EntryNames().back();
    if (trayLast) SetPath(last, TrayPath());
    return last;
}

EntryRow MeasureMatchingEntry(unsigned count) {
    EntryRow row{count, {}, {}};
    const std::wstring tray = MakeEntries(count, true);
    const std::wstring appIds = EntryKey(tray);
    // The tray entry loses the client's id before each call, so every call
    // writes it again.
    const auto reset = [&] { testreg::SetList(appIds.c_str(), L"AppIds", {L"APP0"}); };
    const auto recorded = [&](const char* what) {
        Check(testreg::ReadList(appIds.c_str(), L"AppIds") == testreg::List({L"APP0", L"VTDE5"}), what);
    };
    bool ok = false;
    const std::vector<Stats> s = Measure({
        {reset, [&] { ok = HelperInstall() == 0; },
         [&] {
             Check(ok, "an IDLL_helper install returned 0");
             recorded("IDLL_helper added the id to the tray entry");
         }},
        {reset, [] { vtpi::RegisterTrayApplication(testbed::InstallPathsFor(kInstallDir)); },
         [&] { recorded("the recording added the id to the tray entry"); }},
    });
    row.helper = s[0];
    row.recording = s[1];
    Check(EntryNames().size() == count, "the search found the tray entry and added none");
    reset();
    const Counted counted = CountCalls(HelperInstall);
    row.enumCalls = counted.perFunction.count("RegEnumKeyW") ? counted.perFunction.at("RegEnumKeyW") : 0;
    row.totalCalls = static_cast<int>(counted.total);
    return row;
}

EntryRow MeasureNoMatchingEntry(unsigned count) {
    EntryRow row{count, {}, {}};
    MakeEntries(count, false);
    const std::wstring added = EntryKey(L"Entry" + std::to_wstring(count + 1));
    const auto remove = [&] { testreg::DeleteTree(added.c_str()); };
    const auto made = [&](const char* what) {
        Check(testreg::ReadList(added.c_str(), L"AppIds") == testreg::List({L"VTDE5"}), what);
    };
    bool ok = false;
    const std::vector<Stats> s = Measure({
        {remove, [&] { ok = HelperInstall() == 0; },
         [&] {
             Check(ok, "an IDLL_helper install returned 0");
             made("IDLL_helper made the entry with the lowest free number");
         }},
        {remove, [] { vtpi::RegisterTrayApplication(testbed::InstallPathsFor(kInstallDir)); },
         [&] { made("the recording made the entry with the lowest free number"); }},
    });
    row.helper = s[0];
    row.recording = s[1];
    Check(EntryNames().size() == count + 1, "one entry was added");
    remove();
    const Counted counted = CountCalls(HelperInstall);
    row.enumCalls = counted.perFunction.count("RegEnumKeyW") ? counted.perFunction.at("RegEnumKeyW") : 0;
    row.totalCalls = static_cast<int>(counted.total);
    remove();
    return row;
}

// ---------------------------------------------------------------- printing

void PrintStatsRow(const std::string& label, const Stats& s) {
    printf("  %-56s %9.2f %9.2f\n", label.c_str(), s.min, s.median);
}

// Per-unit costs at both sizes and their ratio. A ratio up to 1.5 (timing
// noise on a shared Wine server) counts as no faster than linear.
void PrintGrowth(const char* what, const char* unit, double small, double large, unsigned smallN, unsigned largeN) {
    const double perSmall = small / smallN;
    const double perLarge = large / largeN;
    const double ratio = perLarge / perSmall;
    printf("  %-28s %7.3f ms/%s at %u, %7.3f at %u: %6.1fx the time for %ux as many; per-%s cost x%.2f, %s\n",
           what, perSmall, unit, smallN, perLarge, largeN, large / small, largeN / smallN, unit, ratio,
           ratio <= 1.5 ? "no faster than linear" : "FASTER than linear");
}

// Section 1: the four calls in turn, each pair from the prepared machine.
void CountSection(FileSnapshot& bootDevice, FileSnapshot& bootUnc) {
    printf("== 1. Platform calls per call on the full testbed\n");
    printf("(what the DLL calls through its import table and the SETUPAPI entry points it\n"
           " looks up, as the spy records them; directory %s)\n\n",
           kInstallDirAnsi);
    std::vector<std::pair<const char*, Counted>> columns;
    columns.push_back({"VT install", CountCalls(Install)});
    columns.push_back({"VT uninstall", CountCalls([] { return testdll::Installer()(0, kInstallDir, 0); })});
    // The locale value the first install filled and the device list it
    // stripped come back before the IDLL_helper pair.
    bootDevice.Restore();
    bootUnc.Restore();
    Check(vtdev::SetUpperFilters(L"DISK0", {L"VtMirror", L"veltrane"}) == ERROR_SUCCESS, "DISK0 was restored");
    columns.push_back({"IDLL install", CountCalls(HelperInstall)});
    columns.push_back({"IDLL uninstall", CountCalls([] { return testdll::Helper()(kInstallDirAnsi, 0, 0); })});
    PrintCallTable(columns);
    printf("\n");
    testreg::DeleteTree(kShared.c_str());
}

std::vector<DeviceRow> DeviceSection() {
    printf("== 2. Install time against disk devices (VT_installer(1); each device's own list\n"
           "      {X, veltrane} is reset before every run, so every device is written; 'device step\n"
           "      alone' is the DLL's device code called directly, 'SetupAPI alone' the same SetupAPI\n"
           "      calls without it)\n\n");
    unsigned removed = 0;
    double start = NowMs();
    Check(vtdev::RemoveAllDisks(&removed) == ERROR_SUCCESS, "the prepared devices were removed");
    printf("  removed the %u prepared device(s) in %.0f ms\n", removed, NowMs() - start);
    std::vector<DeviceRow> rows;
    rows.push_back(MeasureDevices(0));
    for (unsigned target : {16u, 256u}) {
        const unsigned have = rows.back().devices;
        start = NowMs();
        Check(vtdev::AddDisks(kDevicePrefix, have, target - have, kDeviceFilters) == ERROR_SUCCESS,
              "the devices were made");
        printf("  made devices %u..%u in %.0f ms\n", have, target - 1, NowMs() - start);
        rows.push_back(MeasureDevices(target));
    }
    start = NowMs();
    Check(vtdev::RemoveAllDisks(&removed) == ERROR_SUCCESS, "the devices were removed");
    printf("  removed %u devices in %.0f ms\n\n", removed, NowMs() - start);

    printf("  %-56s %9s %9s\n", "", "min", "median");
    for (const DeviceRow& r : rows) {
        const std::string n = std::to_string(r.devices) + " devices";
        PrintStatsRow("install, " + n, r.install);
        PrintStatsRow("  device step alone, " + n, r.step);
        PrintStatsRow("  SetupAPI alone: enumerate + read, " + n, r.enumerate);
        PrintStatsRow("  SetupAPI alone: enumerate + read + write, " + n, r.walk);
        PrintStatsRow("  DLL's own share of the step (step - SetupAPI + write)",
                      {r.step.min - r.walk.min, r.step.median - r.walk.median});
    }
    printf("\n");
    return rows;
}

void EntrySection(std::vector<EntryRow>& matching, std::vector<EntryRow>& missing) {
    printf("== 2. Install time against shared-files entries (IDLL_helper(dir, 1, 0); the tray\n"
           "      application's entry enumerates last and loses the client's id before every run;\n"
           "      'recording alone' is the registration code called directly, without the install;\n"
           "      no disk devices)\n\n");
    for (unsigned count : {10u, 500u}) matching.push_back(MeasureMatchingEntry(count));
    for (unsigned count : {10u, 500u}) missing.push_back(MeasureNoMatchingEntry(count));
    testreg::DeleteTree(kShared.c_str());

    printf("  %-56s %9s %9s   RegEnumKeyW / all calls\n", "", "min", "median");
    for (const auto* rows : {&matching, &missing}) {
        for (const EntryRow& r : *rows) {
            const std::string n = std::to_string(r.entries) + " entries" +
                                  (rows == &matching ? ", tray entry last" : ", none matches");
            PrintStatsRow("IDLL_helper install, " + n, r.helper);
            printf("  %-56s %9.2f %9.2f   %6d / %d\n", "  recording alone", r.recording.min, r.recording.median,
                   r.enumCalls, r.totalCalls);
        }
    }
    printf("\n");
}

void GrowthSection(const std::vector<DeviceRow>& devices, const std::vector<EntryRow>& matching,
                   const std::vector<EntryRow>& missing) {
    printf("== 3. Growth, from the minimum times; 'over 0' takes the 0-device time off first\n\n");
    const DeviceRow& d0 = devices[0];
    const DeviceRow& d16 = devices[1];
    const DeviceRow& d256 = devices[2];
    PrintGrowth("install, whole time", "device", d16.install.min, d256.install.min, 16, 256);
    PrintGrowth("install, over 0", "device", d16.install.min - d0.install.min, d256.install.min - d0.install.min,
                16, 256);
    PrintGrowth("device step alone, over 0", "device", d16.step.min - d0.step.min, d256.step.min - d0.step.min, 16,
                256);
    PrintGrowth("SetupAPI + write, over 0", "device", d16.walk.min - d0.walk.min, d256.walk.min - d0.walk.min, 16,
                256);
    for (const DeviceRow* r : {&d16, &d256}) {
        printf("  %u devices: SetupAPI is %.0f%% of the device step and the device step %.0f%% of the install\n",
               r->devices, 100.0 * r->walk.min / r->step.min, 100.0 * r->step.min / r->install.min);
    }
    PrintGrowth("recording, tray entry last", "entry", matching[0].recording.min, matching[1].recording.min, 10,
                500);
    PrintGrowth("recording, none matches", "entry", missing[0].recording.min, missing[1].recording.min, 10, 500);
    for (const auto* rows : {&matching, &missing}) {
        const EntryRow& small = (*rows)[0];
        const EntryRow& large = (*rows)[1];
        printf("  %-28s %d at 10, %d at 500 entries: %.1fx (linear 50x, quadratic 2500x)\n",
               rows == &matching ? "RegEnumKeyW, tray entry last" : "RegEnumKeyW, none matches", small.enumCalls,
               large.enumCalls, static_cast<double>(large.enumCalls) / std::max(small.enumCalls, 1));
    }
    printf("  (with no matching entry the lowest free name is searched for by enumerating the\n"
           "   entries once per name tried: quadratic in the number of entries)\n");
    printf("\n");
}

// Section 4: the same install through the DLL and through a build of the
// same sources with the trace compiled out, side by side in one run.
void TraceCostSection() {
    printf("== 4. The trace's cost (VT_installer(1) on the prepared machine, VTPI_LOG unset, no\n"
           "      debugger; VtPostInstallNoTrace.dll is the same sources with the trace compiled out)\n\n");
    const HMODULE bare = LoadLibraryW(L"VtPostInstallNoTrace.dll");
    const auto bareInstall =
        bare ? reinterpret_cast<VT_installer_fn>(reinterpret_cast<void*>(GetProcAddress(bare, "VT_installer")))
             : nullptr;
    Check(bareInstall != nullptr, "VtPostInstallNoTrace.dll loaded");
    if (!bareInstall) return;
    Check(Install() == 0 && bareInstall(1, kInstallDir, 0) == 0, "the warm-up installs returned 0");
    bool ok = false;
    const auto succeeded = [&ok] { Check(ok, "an install returned 0"); };
    const std::vector<Stats> s = Measure({
        {[] {}, [&] { ok = Install() == 0; }, succeeded},
        {[] {}, [&] { ok = bareInstall(1, kInstallDir, 0) == 0; }, succeeded},
    });
    printf("  %-26s %8s %8s\n", "", "min", "median");
    printf("  %-26s %8.3f %8.3f\n", "with the trace", s[0].min, s[0].median);
    printf("  %-26s %8.3f %8.3f\n", "trace compiled out", s[1].min, s[1].median);
    printf("  the trace adds %.1f %% (minimum), %.1f %% (median)\n\n", 100.0 * (s[0].min / s[1].min - 1),
           100.0 * (s[0].median / s[1].median - 1));
    FreeLibrary(bare);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (!testdll::Module()) return 2;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    printf("VtPostInstall.dll benchmark: %d runs per measurement, min and median in ms "
           "(QueryPerformanceCounter, %lld Hz)\n\n",
           kRepeats, static_cast<long long>(frequency.QuadPart));

    const bool sharedExisted = testreg::KeyExists(kShared.c_str());
    {
        // The lists, the stand-in drivers' records, the shared-files vendor
        // key, the locale files and the client's file list as prepare-machine
        // left them, put back at the end of this block.
        testreg::Snapshot disk(vtpi::kDiskClassKey, vtpi::kUpperFiltersValue);
        testreg::Snapshot floppy(vtpi::kFloppyClassKey, vtpi::kUpperFiltersValue);
        testreg::Snapshot dump(vtpi::kCrashControlKey, vtpi::kDumpFiltersValue);
        testreg::Snapshot driverRecord(L"System\\CurrentControlSet\\Services\\Veltrane\\Parameters", L"Requests");
        testreg::Snapshot lockRecord(L"System\\CurrentControlSet\\Services\\RsvLock\\Parameters", L"Requests");
        testreg::Snapshot vendor(L"Software\\Tessavar", L"");
        FileSnapshot bootDevice("C:\\testbed\\efs\\device\\Boot\\Bootcode.ini");
        FileSnapshot bootUnc("C:\\testbed\\efs\\unc\\Boot\\Bootcode.ini");
        FileSnapshot fileList("C:\\Program Files\\Veltrane\\VTFILES41.LST");
        printf("testbed: %u disk device(s), shared-files key %s\n\n",
               static_cast<unsigned>(vtdev::ListDisks().size()), sharedExisted ? "present" : "absent");

        CountSection(bootDevice, bootUnc);
        const std::vector<DeviceRow> devices = DeviceSection();
        std::vector<EntryRow> matching, missing;
        EntrySection(matching, missing);
        GrowthSection(devices, matching, missing);
        TraceCostSection();

        // svcctl, which puts the services back, writes to the standard
        // output it inherits: not into this report.
        const HANDLE null = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (null != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, null);
        testsvc::ResetServices();
        SetStdHandle(STD_OUTPUT_HANDLE, output);
        if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
        // The two devices prepare-machine makes.
        Check(vtdev::AddDisk(L"DISK0", {L"VtMirror", L"veltrane"}) == ERROR_SUCCESS &&
                  vtdev::AddDisk(L"DISK1") == ERROR_SUCCESS,
              "the prepared devices were made again");
    }
    printf("machine restored: lists, driver records, locale files, file list, services, %u prepared device(s); "
           "shared-files key %s\n",
           static_cast<unsigned>(vtdev::ListDisks().size()), sharedExisted ? "replaced" : "removed");
    if (g_failures) printf("%d check(s) failed\n", g_failures);
    return g_failures ? 1 : 0;
}
