#include "kill_sweep.h"

#include <gtest/gtest.h>

#include <string.h>
#include <wchar.h>

#include <algorithm>

#include "devices_api.h"
#include "registry.h"
#include "services.h"
#include "spy.h"
#include "steps/class_filters.h"
#include "steps/client_manager.h"
#include "steps/disk_filter.h"
#include "steps/driver_refresh.h"
#include "steps/legacy_service.h"
#include "testbed.h"

namespace killsweep {

using namespace vtpi;

const wchar_t* const kLockLabel = L"lock device's last value";
const wchar_t* const kLegacyLabel = L"service VeltraneConfigurationManager";

namespace {

const wchar_t* const kFolder = L"killsweep";
const wchar_t* const kRecord = L"C:\\testbed\\killsweep.record";
const wchar_t* const kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t* const kSharedFilesRoot = L"Software\\Tessavar";
const wchar_t* const kSharedFiles = L"Software\\Tessavar\\SharedFiles";
const wchar_t* const kOtherApplication = L"C:\\Program Files\\Other\\Other.exe";
const wchar_t* const kTray = L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe";
const wchar_t* const kOldDriver = L"standin_veltrane_v2090.sys";
const wchar_t* const kNewDriver = L"standin_veltrane_v2105.sys";
const wchar_t* const kDisks[] = {L"KILL0", L"KILL1"};
// The pre-boot settings under the encrypted file system's device root.
const wchar_t* const kBootLocale = L"C:\\testbed\\efs\\device\\Boot\\Bootcode.ini";

// The filters the scenarios list besides the client's main one, which the
// testbed registers: each gets a service key and a driver file, as the
// machine and the client's setup program would have made them.
const wchar_t* const kOtherFilters[] = {L"PartMgr", L"VtMirror", L"Other", kFloppyFilterName};
const wchar_t* const kDumpFilters[] = {L"dumpfve.sys", kDumpFilterName};

// The registry views that hold the legacy Run value.
std::vector<REGSAM> RunViews() {
    if (testbed::OnWow64()) return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    return {0};
}

std::wstring DriversFolder() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\";
}

bool EqualNames(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool Contains(const List& names, const std::wstring& name) {
    return std::any_of(names.begin(), names.end(), [&](const std::wstring& n) { return EqualNames(n, name); });
}

// The names of a stored list: its NUL-separated entries, empty ones skipped.
List Entries(const std::vector<BYTE>& bytes) {
    const std::wstring units(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    List names;
    for (size_t pos = 0; pos < units.size();) {
        const size_t end = std::min(units.find(L'\0', pos), units.size());
        if (end > pos) names.push_back(units.substr(pos, end - pos));
        pos = end + 1;
    }
    return names;
}

List ListValue(const wchar_t* key, const wchar_t* value) { return Entries(testreg::ReadValue(key, value).bytes); }

List DiskList(const std::wstring& instanceId) { return Entries(vtdev::ReadUpperFiltersValue(instanceId).bytes); }

std::vector<std::wstring> DiskInstanceIds() {
    std::vector<std::wstring> ids;
    for (const vtdev::Disk& disk : vtdev::ListDisks()) ids.push_back(disk.instanceId);
    return ids;
}

std::vector<BYTE> DwordBytes(DWORD value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(p, p + sizeof(value));
}

void WriteFileBytes(const std::wstring& path, const char* text) {
    testbed::NativeFiles native;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr));
    CloseHandle(file);
}

// Puts the pre-boot settings back as the machine had them, so that every
// call fills the same values.
void WriteBootLocale(const std::vector<BYTE>& bytes) {
    const HANDLE file = CreateFileW(kBootLocale, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

void DeleteNativeFile(const std::wstring& path) {
    testbed::NativeFiles native;
    DeleteFileW(path.c_str());
}

}  // namespace

// ---- The machine

struct Machine::Saved {
    testbed::ScratchDir folder{kFolder};
    testreg::FilterListsSnapshot lists;
    std::vector<std::pair<REGSAM, testreg::Stored>> runValues;
    std::vector<std::wstring> createdKeys, createdFiles;
    std::vector<BYTE> bootLocale = testbed::FileBytes(kBootLocale);
};

namespace {

void AddServiceKeyUnlessPresent(const std::wstring& name, std::vector<std::wstring>& created) {
    const std::wstring key = kServicesKey + name;
    if (testreg::KeyExists(key.c_str())) return;
    testreg::SetValue(key.c_str(), L"Type", REG_DWORD, DwordBytes(SERVICE_KERNEL_DRIVER));
    testreg::SetValue(key.c_str(), L"Start", REG_DWORD, DwordBytes(SERVICE_DEMAND_START));
    testreg::SetValue(key.c_str(), L"ErrorControl", REG_DWORD, DwordBytes(SERVICE_ERROR_NORMAL));
    created.push_back(key);
}

void AddFileUnlessPresent(const std::wstring& path, std::vector<std::wstring>& created) {
    if (testbed::FileExists(path)) return;
    WriteFileBytes(path, "stand-in filter driver");
    created.push_back(path);
}

// The service control manager, for the object's lifetime.
class ServiceManager {
public:
    ServiceManager() : manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        EXPECT_NE(nullptr, manager_) << GetLastError();
    }
    ~ServiceManager() {
        if (manager_) CloseServiceHandle(manager_);
    }
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;
    SC_HANDLE get() const { return manager_; }

private:
    SC_HANDLE manager_;
};

// Polls (10 s at most) until the service is in `wanted`; its last state.
DWORD WaitForState(SC_HANDLE service, DWORD wanted) {
    SERVICE_STATUS status = {};
    for (int i = 0; i < 500; ++i) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == wanted) break;
        Sleep(20);
    }
    return status.dwCurrentState;
}

// Stops the service when it runs (or finishes a stop a killed call asked
// for), deletes it and waits until it is gone.
void RemoveService(SC_HANDLE manager, const wchar_t* name) {
    const SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (!service) return;
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitForState(service, SERVICE_STOPPED)) << name;
    EXPECT_TRUE(DeleteService(service)) << GetLastError();
    CloseServiceHandle(service);
    EXPECT_TRUE(testsvc::WaitUntilGone(name)) << name;
}

void StartAndWait(SC_HANDLE manager, const wchar_t* name) {
    const SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service) << GetLastError();
    EXPECT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitForState(service, SERVICE_RUNNING)) << name;
    CloseServiceHandle(service);
}

// Both client services removed and the legacy one registered, stopped, as
// prepare-machine leaves them; done here rather than by svcctl, whose output
// would run into the table.
void ResetServices(SC_HANDLE manager) {
    RemoveService(manager, kClientManagerService);
    RemoveService(manager, kLegacyService);
    const SC_HANDLE legacy = CreateServiceW(manager, kLegacyService, kLegacyService, SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                            L"\"C:\\Program Files\\Veltrane\\VtConfigManager.exe\"", nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    EXPECT_NE(nullptr, legacy) << GetLastError();
    if (legacy) CloseServiceHandle(legacy);
}

}  // namespace

Machine::Machine() : saved_(std::make_unique<Saved>()) {
    const std::wstring& folder = saved_->folder.path();
    testbed::PlaceFile(kNewDriver, folder + L"\\veltrane.sys");
    testbed::PlaceFile(L"VtClientManager.exe", folder + L"\\VtClientManager.exe");
    for (REGSAM view : RunViews()) {
        saved_->runValues.push_back({view, testreg::ReadValue(kRunKey, kLegacyRunValue, view)});
    }
    for (const wchar_t* name : kOtherFilters) {
        AddServiceKeyUnlessPresent(name, saved_->createdKeys);
        AddFileUnlessPresent(DriversFolder() + name + L".sys", saved_->createdFiles);
    }
    for (const wchar_t* name : kDumpFilters) AddFileUnlessPresent(DriversFolder() + name, saved_->createdFiles);
    vtdev::RemoveAllDisks();
    for (const wchar_t* id : kDisks) EXPECT_EQ(0u, vtdev::AddDisk(id));
}

Machine::~Machine() {
    ResetServices(ServiceManager().get());
    WriteBootLocale(saved_->bootLocale);
    vtdev::RemoveAllDisks();
    testreg::DeleteTree(kSharedFilesRoot);
    testbed::PlaceFile(kOldDriver, testbed::SystemDriverCopy());
    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy() + kStagedSuffix);
    testbed::ClearRequests(L"RsvLock");
    testbed::ClearRequests(L"Veltrane");
    for (const auto& run : saved_->runValues) {
        if (run.second.exists) {
            testreg::SetValue(kRunKey, kLegacyRunValue, run.second.type, run.second.bytes, run.first);
        } else {
            testreg::DeleteValue(kRunKey, kLegacyRunValue, run.first);
        }
    }
    for (const std::wstring& key : saved_->createdKeys) testreg::DeleteTree(key.c_str());
    for (const std::wstring& file : saved_->createdFiles) DeleteNativeFile(file);
    DeleteFileW(kRecord);
}

void Machine::Prepare(const Scenario& scenario) {
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, scenario.diskClass);
    testreg::SetList(kFloppyClassKey, kUpperFiltersValue, scenario.floppy);
    testreg::SetList(kCrashControlKey, kDumpFiltersValue, scenario.dump);
    EXPECT_EQ(0u, vtdev::SetUpperFilters(kDisks[0], scenario.firstDisk));
    EXPECT_EQ(0u, vtdev::DeleteUpperFilters(kDisks[1]));

    testbed::PlaceFile(kOldDriver, testbed::SystemDriverCopy());
    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy() + kStagedSuffix);
    testbed::ClearRequests(L"RsvLock");

    // Install: the legacy service still runs. Uninstall: the client manager
    // does, as an install left it and the machine started it.
    const ServiceManager services;
    ResetServices(services.get());
    if (scenario.install) {
        StartAndWait(services.get(), kLegacyService);
    } else {
        EXPECT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(saved_->folder.path())));
        StartAndWait(services.get(), kClientManagerService);
    }
    WriteBootLocale(saved_->bootLocale);
    for (REGSAM view : RunViews()) {
        testreg::SetString(kRunKey, kLegacyRunValue, L"C:\\Program Files\\Veltrane\\VtMgrNt.exe", view);
    }

    // Another application's entry first; on uninstall the tray application's
    // entry from the install, without the client's id.
    testreg::DeleteTree(kSharedFilesRoot);
    const std::wstring entry = std::wstring(kSharedFiles) + L"\\Entry";
    testreg::SetString((entry + L"1").c_str(), L"Path", kOtherApplication);
    testreg::SetList((entry + L"1").c_str(), L"AppIds", {L"APP9"});
    if (!scenario.install) {
        testreg::SetString((entry + L"2").c_str(), L"Path", kTray);
        testreg::SetList((entry + L"2").c_str(), L"AppIds", {L"APP1"});
    }
}

// ---- The child

namespace {

std::wstring ChildProgram() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    return program.erase(program.find_last_of(L'\\') + 1) + L"kill_child.exe";
}

std::vector<Call> ReadRecord() {
    const std::vector<BYTE> bytes = testbed::FileBytes(kRecord);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<Call> lines;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = std::min(text.find(L'\n', pos), text.size());
        const std::wstring line = text.substr(pos, end - pos);
        const size_t tab = line.find(L'\t');
        lines.push_back({line.substr(0, tab), tab == std::wstring::npos ? L"" : line.substr(tab + 1)});
        pos = end + 1;
    }
    return lines;
}

}  // namespace

ChildRun Machine::Run(bool install, int killAt) const {
    ChildRun run;
    DeleteFileW(kRecord);
    const std::wstring program = ChildProgram();
    std::wstring command = L"\"" + program + L"\" " + (install ? L"install" : L"uninstall") + L" \"" +
                           saved_->folder.path() + L"\" \"" + kRecord + L"\"";
    if (killAt > 0) command += L" " + std::to_wstring(killAt);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "kill_child did not start: " << GetLastError();
        return run;
    }
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "kill_child did not end within 2 minutes";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    const std::vector<Call> lines = ReadRecord();
    run.killed = run.exitCode == spy::kKilledExitCode;
    if (run.killed) {
        if (!lines.empty()) run.killedAt = lines.front();
    } else if (!lines.empty() && lines.front().function == L"result") {
        run.result = _wtoi(lines.front().detail.c_str());
        run.calls.assign(lines.begin() + 1, lines.end());
    } else {
        ADD_FAILURE() << "kill_child exited with " << run.exitCode << " and no record";
    }
    return run;
}

// ---- The checks

std::vector<std::wstring> BootProblems() {
    std::vector<std::wstring> problems;
    const auto needDriver = [&](const std::wstring& where, const std::wstring& name) {
        if (!testreg::KeyExists((kServicesKey + name).c_str())) {
            problems.push_back(where + L": " + name + L" has no service key");
        }
        // The client's setup program puts each driver in drivers\<name>.sys.
        if (!testbed::FileExists(DriversFolder() + name + L".sys")) {
            problems.push_back(where + L": " + name + L" has no driver file");
        }
    };
    for (const std::wstring& name : ListValue(kDiskClassKey, kUpperFiltersValue)) needDriver(L"disk class", name);
    for (const std::wstring& name : ListValue(kFloppyClassKey, kUpperFiltersValue)) needDriver(L"floppy class", name);
    for (const std::wstring& id : DiskInstanceIds()) {
        for (const std::wstring& name : DiskList(id)) needDriver(id, name);
    }
    // A crash-dump filter is loaded from its own file as dump_<name>.
    for (const std::wstring& name : ListValue(kCrashControlKey, kDumpFiltersValue)) {
        if (!testbed::FileExists(DriversFolder() + name)) problems.push_back(L"crash dump: " + name + L" has no file");
    }
    return problems;
}

namespace {

const std::vector<BYTE>& StandinBytes(const wchar_t* name) {
    static std::vector<std::pair<std::wstring, std::vector<BYTE>>> cache;
    for (const auto& item : cache) {
        if (item.first == name) return item.second;
    }
    cache.push_back({name, testbed::FileBytes(testbed::Standin(name))});
    return cache.back().second;
}

}  // namespace

bool DriverWhole() {
    const std::vector<BYTE> bytes = testbed::FileBytes(testbed::SystemDriverCopy());
    return bytes == StandinBytes(kOldDriver) || bytes == StandinBytes(kNewDriver);
}

bool StagedDriverLeft() { return testbed::FileExists(testbed::SystemDriverCopy() + kStagedSuffix); }

List DisksWithFilter() {
    const bool onClassList = Contains(ListValue(kDiskClassKey, kUpperFiltersValue), kDiskFilterName);
    List disks;
    for (const std::wstring& id : DiskInstanceIds()) {
        if (onClassList || Contains(DiskList(id), kDiskFilterName)) disks.push_back(id);
    }
    return disks;
}

// ---- The machine state

namespace {

std::wstring DescribeValue(bool exists, DWORD type, const std::vector<BYTE>& bytes) {
    if (!exists) return L"absent";
    return vtdev::TypeName(type) + L" " + vtdev::DescribeUnits(bytes);
}

std::wstring DescribeStored(const testreg::Stored& v) { return DescribeValue(v.exists, v.type, v.bytes); }

bool Pending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

// A service that a killed call asked to stop is left to finish stopping.
DWORD SettledState(const wchar_t* name) {
    DWORD state = testsvc::State(name);
    for (int i = 0; i < 250 && Pending(state); ++i) {
        Sleep(20);
        state = testsvc::State(name);
    }
    return state;
}

std::wstring DescribeService(const wchar_t* name) {
    const DWORD state = SettledState(name);
    testsvc::Config c;
    if (state == 0 || !testsvc::QueryConfig(name, c)) return L"absent";
    return L"state " + std::to_wstring(state) + L", type " + std::to_wstring(c.type) + L", start " +
           std::to_wstring(c.start) + L", error " + std::to_wstring(c.errorControl) + L", " + c.path + L", group " +
           c.group + L", depends on " + c.dependencies + L", account " + c.account + L", display " + c.displayName;
}

std::wstring DescribeDriver() {
    const std::vector<BYTE> bytes = testbed::FileBytes(testbed::SystemDriverCopy());
    if (bytes == StandinBytes(kOldDriver)) return L"the old stand-in, 2.0.9.0";
    if (bytes == StandinBytes(kNewDriver)) return L"the new stand-in, 2.1.0.5";
    return std::to_wstring(bytes.size()) + L" other bytes";
}

class Key {
public:
    Key(HKEY parent, const wchar_t* name) {
        if (RegOpenKeyExW(parent, name, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// "name=TYPE [units]" for every value of the key.
std::wstring DescribeValues(HKEY key) {
    std::wstring text;
    wchar_t name[256];
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        DWORD nameUnits = 256, type = 0, size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        text += std::wstring(text.empty() ? L"" : L", ") + name + L"=" +
                DescribeValue(true, type, std::vector<BYTE>(data.begin(), data.begin() + size));
    }
    return text;
}

// Every entry of the shared-files list with all its values.
std::wstring DescribeSharedFiles() {
    const Key shared(HKEY_LOCAL_MACHINE, kSharedFiles);
    if (!shared.get()) return L"absent";
    std::wstring text;
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(shared.get(), i, name, 256) == ERROR_SUCCESS; ++i) {
        const Key entry(shared.get(), name);
        text += std::wstring(text.empty() ? L"" : L"; ") + name + L": " +
                (entry.get() ? DescribeValues(entry.get()) : L"(does not open)");
    }
    return text;
}

std::wstring LastLockValue() {
    const std::vector<uint32_t> values = testbed::LockValues();
    return values.empty() ? L"none" : std::to_wstring(values.back());
}

}  // namespace

MachineState ReadState() {
    MachineState state = {
        {L"disk class list", DescribeStored(testreg::ReadValue(kDiskClassKey, kUpperFiltersValue))},
        {L"floppy class list", DescribeStored(testreg::ReadValue(kFloppyClassKey, kUpperFiltersValue))},
        {L"crash-dump list", DescribeStored(testreg::ReadValue(kCrashControlKey, kDumpFiltersValue))},
    };
    for (const std::wstring& id : DiskInstanceIds()) {
        const vtdev::Stored v = vtdev::ReadUpperFiltersValue(id);
        state.push_back({L"disk " + id, DescribeValue(v.exists, v.type, v.bytes)});
    }
    state.push_back({std::wstring(L"service ") + kClientManagerService, DescribeService(kClientManagerService)});
    state.push_back({kLegacyLabel, DescribeService(kLegacyService)});
    state.push_back({L"system driver", DescribeDriver()});
    state.push_back({L"shared files", DescribeSharedFiles()});
    for (REGSAM view : RunViews()) {
        const std::wstring label = view == KEY_WOW64_64KEY   ? L" (64-bit view)"
                                   : view == KEY_WOW64_32KEY ? L" (32-bit view)"
                                                             : L"";
        state.push_back({std::wstring(L"Run value ") + kLegacyRunValue + label,
                         DescribeStored(testreg::ReadValue(kRunKey, kLegacyRunValue, view))});
    }
    state.push_back({kLockLabel, LastLockValue()});
    const std::vector<BYTE> bootLocale = testbed::FileBytes(kBootLocale);
    state.push_back({L"Bootcode.ini", std::wstring(bootLocale.begin(), bootLocale.end())});
    return state;
}

std::vector<std::wstring> Differences(const MachineState& a, const MachineState& b) {
    std::vector<std::wstring> labels;
    const auto compare = [&](const std::wstring& label) {
        const bool listed = std::find(labels.begin(), labels.end(), label) != labels.end();
        if (!listed && Describe(a, label) != Describe(b, label)) labels.push_back(label);
    };
    for (const auto& item : a) compare(item.first);
    for (const auto& item : b) compare(item.first);
    return labels;
}

std::wstring Describe(const MachineState& state, const std::wstring& label) {
    for (const auto& item : state) {
        if (item.first == label) return item.second;
    }
    return L"(not read)";
}

// ---- Where a kill point lies

namespace {

bool Is(const Call& call, const wchar_t* function, const wchar_t* detailStart = L"") {
    return call.function == function && _wcsnicmp(call.detail.c_str(), detailStart, wcslen(detailStart)) == 0;
}

// The 1-based number of the first call from `from` on that matches, 0 if none.
template <typename Match>
int Find(const std::vector<Call>& calls, int from, Match match) {
    for (int i = std::max(from, 1); i <= static_cast<int>(calls.size()); ++i) {
        if (match(calls[i - 1])) return i;
    }
    return 0;
}

}  // namespace

Landmarks::Landmarks(const std::vector<Call>& calls, bool install) : calls_(calls) {
    const int classOpen =
        Find(calls, 1, [](const Call& c) { return Is(c, L"RegOpenKeyW") && EqualNames(c.detail, kDiskClassKey); });
    if (!classOpen) return;
    const int classRead =
        Find(calls, classOpen, [](const Call& c) { return Is(c, L"RegQueryValueExW", kUpperFiltersValue); });
    classWrite_ = Find(calls, classOpen, [](const Call& c) { return Is(c, L"RegSetValueExW", kUpperFiltersValue); });
    // The refresh ends with the compression request.
    const int refreshEnd =
        install ? Find(calls, classOpen, [](const Call& c) { return Is(c, L"DeviceIoControl", L"0009C040"); }) : 0;
    const int start = Find(calls, std::max(classRead, refreshEnd) + 1,
                           [](const Call& c) { return Is(c, L"SetupDiSetDeviceRegistryPropertyW"); });
    if (classRead && start && start < classWrite_) windowStart_ = start;
}

bool Landmarks::InAllowedWindow(int point) const {
    return windowStart_ && point >= windowStart_ && point <= classWrite_;
}

bool Landmarks::ClassListWritten(int point) const { return classWrite_ && point > classWrite_; }

bool Landmarks::InLockWindow(int point) const {
    bool moved = false;
    for (int i = 1; i < point && i <= static_cast<int>(calls_.size()); ++i) {
        const Call& c = calls_[i - 1];
        if (Is(c, L"MoveFileExW")) moved = true;
        if (Is(c, L"DeviceIoControl", L"002220CC 01000000")) moved = false;
    }
    return moved;
}

bool Landmarks::InLegacyWindow(int point) const {
    bool legacyOpen = false, stopped = false;
    for (int i = 1; i < point && i <= static_cast<int>(calls_.size()); ++i) {
        const Call& c = calls_[i - 1];
        if (Is(c, L"OpenServiceW")) legacyOpen = EqualNames(c.detail, kLegacyService);
        if (legacyOpen && Is(c, L"ControlService") && c.detail == L"1") stopped = true;
        if (Is(c, L"DeleteService")) stopped = false;
    }
    return stopped;
}

}  // namespace killsweep
