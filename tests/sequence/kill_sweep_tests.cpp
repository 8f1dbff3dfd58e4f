// The kill sweep: a setup program ended (TerminateProcess) right before a
// platform call of an IDLL_helper install or uninstall. After the kill the
// machine must still boot, the system driver copy must be whole, and a disk
// that had the disk filter must still have it on the class list or its own
// list, but for the short window in which the disks lose it right before the
// class list is written. The same call run again must then answer 0, leave no
// staged driver, and leave the machine as one uninterrupted call does, but
// for the two windows kept on purpose: killed between the driver's move and
// lock value 1, the lock device keeps 0; killed between the legacy service's
// stop and its deletion, it stays registered and stopped.
//
// By default a sample of kill points, in each stretch of the call; with
// --every-point every call of the call, and a table row for each
// (tools/kill-sweep runs it so on both machines).
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "kill_sweep.h"

using namespace killsweep;

namespace {

bool g_everyPoint = false;

// An upgrade over a client that listed the disk filter on the class list,
// one over a client that listed it on a disk's own list, and an uninstall
// of a complete install. One disk's own list names the filter in each.
const Scenario kOverClassList = {"install, filter on the class list", true,
                                 {L"PartMgr", L"veltrane"}, {L"VtMirror", L"veltrane"}, {L"Other"}, {L"dumpfve.sys"}};
const Scenario kOverDiskList = {"install, filter on a disk's own list", true,
                                {L"PartMgr"}, {L"VtMirror", L"veltrane"}, {L"Other"}, {L"dumpfve.sys"}};
const Scenario kUninstall = {"uninstall", false, {L"VELTRANE", L"PartMgr"}, {L"VtMirror", L"veltrane"},
                             {L"VTFLOP", L"Other"}, {L"VtHiber.sys", L"dumpfve.sys"}};

// A sampled kill point: before the n-th call of `function` whose detail
// holds `detail` (ASCII case ignored), or `after` calls later.
struct Sample {
    const char* stretch;
    const wchar_t* function;
    const wchar_t* detail;
    int occurrence;
    int after;
};

const Sample kInstallSamples[] = {
    {"the disk class key opened", L"RegOpenKeyW", L"{4D36E967", 1, 1},
    {"before the driver refresh", L"LoadLibraryExW", L"\\VERSION.DLL", 1, 0},
    {"the new driver staged", L"CopyFileW", L"", 1, 1},
    {"lock value 0 sent, the driver not moved", L"MoveFileExW", L"", 1, 0},
    {"the driver moved, lock value 1 not sent", L"DeviceIoControl", L"002220CC 01000000", 1, 0},
    {"a disk's own list written", L"SetupDiSetDeviceRegistryPropertyW", L"", 1, 1},
    {"the disk class list about to be written", L"RegSetValueExW", L"UpperFilters", 1, 0},
    {"the disk class list written", L"RegSetValueExW", L"UpperFilters", 1, 1},
    {"the legacy service stopped, not deleted", L"DeleteService", L"", 1, 0},
    {"the client manager created", L"CreateServiceW", L"", 1, 1},
    {"a shared-files entry without its path", L"RegSetValueExW", L"Path", 1, 0},
    {"a shared-files entry without its ids", L"RegSetValueExW", L"AppIds", 1, 0},
    {"the crash-dump list about to be written", L"RegSetValueExW", L"DumpFilters", 1, 0},
};

const Sample kUninstallSamples[] = {
    {"a disk's own list written", L"SetupDiSetDeviceRegistryPropertyW", L"", 1, 1},
    {"the disk class list about to be written", L"RegSetValueExW", L"UpperFilters", 1, 0},
    {"the client manager asked to stop", L"ControlService", L"1", 1, 1},
    {"the client manager stopped, not deleted", L"DeleteService", L"", 1, 0},
    {"the client's id about to be added", L"RegSetValueExW", L"AppIds", 1, 0},
};

// ---- One kill point

enum class Verdict { Ok, Kept, Window, NotApplicable, Fail };

const char* Name(Verdict v) {
    switch (v) {
        case Verdict::Ok: return "ok";
        case Verdict::Kept: return "kept";
        case Verdict::Window: return "window";
        case Verdict::NotApplicable: return "-";
        case Verdict::Fail: return "FAIL";
    }
    return "?";
}

const char* const kChecks[] = {"boot", "driver", "disks", "rerun", "state"};
constexpr int kCheckCount = 5;

struct Outcome {
    int point = 0;
    Call call;
    Verdict verdicts[kCheckCount] = {};
    std::vector<std::wstring> notes;  // what each failure found
    bool drifted = false;             // killed before another call than the reference's
    bool failed() const {
        if (drifted) return true;
        for (Verdict v : verdicts) {
            if (v == Verdict::Fail) return true;
        }
        return false;
    }
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// What an uninterrupted call from the scenario's start does.
struct Reference {
    std::vector<Call> calls;
    MachineState state;
};

List Uncovered(const List& before, const List& now) {
    List lost;
    for (const std::wstring& id : before) {
        if (std::find(now.begin(), now.end(), id) == now.end()) lost.push_back(id);
    }
    return lost;
}

Verdict CheckDisks(const Scenario& scenario, const Landmarks& marks, int point, const List& before,
                   std::vector<std::wstring>& notes) {
    if (!scenario.install && marks.ClassListWritten(point)) return Verdict::NotApplicable;
    const List lost = Uncovered(before, DisksWithFilter());
    if (lost.empty()) return Verdict::Ok;
    if (marks.InAllowedWindow(point)) return Verdict::Window;
    for (const std::wstring& id : lost) notes.push_back(L"disks: " + id + L" has the filter on no list");
    return Verdict::Fail;
}

// Equal to the reference, or different only where a kept window allows and
// as it allows.
Verdict CheckState(const Landmarks& marks, int point, const MachineState& reference, const MachineState& now,
                   std::vector<std::wstring>& notes) {
    const std::vector<std::wstring> differences = Differences(reference, now);
    if (differences.empty()) return Verdict::Ok;
    bool kept = true;
    for (const std::wstring& label : differences) {
        const std::wstring value = Describe(now, label);
        const bool lockKept = label == kLockLabel && marks.InLockWindow(point) && value == L"0";
        const bool legacyKept = label == kLegacyLabel && marks.InLegacyWindow(point) &&
                                value.rfind(L"state " + std::to_wstring(SERVICE_STOPPED) + L",", 0) == 0;
        if (lockKept || legacyKept) continue;
        kept = false;
        notes.push_back(L"state: " + label + L" is " + value + L", not " + Describe(reference, label));
    }
    return kept ? Verdict::Kept : Verdict::Fail;
}

Outcome RunPoint(Machine& machine, const Scenario& scenario, const Reference& reference, const Landmarks& marks,
                 int point) {
    Outcome out;
    out.point = point;
    machine.Prepare(scenario);
    const List before = DisksWithFilter();
    const ChildRun killed = machine.Run(scenario.install, point);
    out.call = killed.killedAt;
    if (!killed.killed) {
        out.notes.push_back(L"the call was not killed: it made fewer calls than the reference");
        for (Verdict& v : out.verdicts) v = Verdict::Fail;
        return out;
    }
    const Call& expected = reference.calls[point - 1];
    if (killed.killedAt.function != expected.function || killed.killedAt.detail != expected.detail) {
        out.drifted = true;
        out.notes.push_back(L"killed before " + killed.killedAt.function + L", not " + expected.function +
                            L" as in the uninterrupted call");
    }

    const std::vector<std::wstring> boot = BootProblems();
    out.verdicts[0] = boot.empty() ? Verdict::Ok : Verdict::Fail;
    for (const std::wstring& p : boot) out.notes.push_back(L"boot: " + p);
    out.verdicts[1] = DriverWhole() ? Verdict::Ok : Verdict::Fail;
    if (out.verdicts[1] == Verdict::Fail) out.notes.push_back(L"driver: the system copy is neither driver whole");
    out.verdicts[2] = CheckDisks(scenario, marks, point, before, out.notes);

    const ChildRun rerun = machine.Run(scenario.install, 0);
    const bool staged = StagedDriverLeft();
    out.verdicts[3] = rerun.result == 0 && !staged ? Verdict::Ok : Verdict::Fail;
    if (rerun.result != 0) out.notes.push_back(L"rerun: answered " + std::to_wstring(rerun.result));
    if (staged) out.notes.push_back(L"rerun: the staged driver copy remains");
    out.verdicts[4] = CheckState(marks, point, reference.state, ReadState(), out.notes);
    return out;
}

// ---- The table

void PrintHeader(const Scenario& scenario, size_t calls) {
    printf("\n== %s: %zu calls, %s\n", scenario.name, calls, g_everyPoint ? "every kill point" : "a sample");
    printf("%6s", "point");
    for (const char* check : kChecks) printf("  %-6s", check);
    printf("  call\n");
}

void PrintRow(const Outcome& o, const char* stretch) {
    printf("%6d", o.point);
    for (Verdict v : o.verdicts) printf("  %-6s", Name(v));
    printf("  %s %s%s%s\n", Narrow(o.call.function).c_str(), Narrow(o.call.detail).c_str(), stretch ? "  -- " : "",
           stretch ? stretch : "");
    for (const std::wstring& note : o.notes) printf("%8s%s\n", "", Narrow(note).c_str());
    fflush(stdout);
}

// Prints the totals; the points that failed, or "none".
std::string PrintTotals(const Scenario& scenario, const std::vector<Outcome>& outcomes) {
    std::string line = std::string("totals: ") + scenario.name + ": " + std::to_string(outcomes.size()) + " points";
    for (int check = 0; check < kCheckCount; ++check) {
        std::map<std::string, int> counts;
        for (const Outcome& o : outcomes) ++counts[Name(o.verdicts[check])];
        line += std::string("; ") + kChecks[check];
        for (const auto& c : counts) line += " " + c.first + " " + std::to_string(c.second);
    }
    printf("%s\n", line.c_str());
    std::string failed;
    for (const Outcome& o : outcomes) {
        if (o.failed()) failed += (failed.empty() ? "" : " ") + std::to_string(o.point);
    }
    if (failed.empty()) failed = "none";
    printf("failed: %s: %s\n", scenario.name, failed.c_str());
    return failed;
}

// ---- The sweep

bool Holds(const std::wstring& text, const wchar_t* part) {
    const size_t n = wcslen(part);
    for (size_t i = 0; i + n <= text.size(); ++i) {
        if (_wcsnicmp(text.c_str() + i, part, n) == 0) return true;
    }
    return false;
}

// The 1-based point of a sample in the uninterrupted call, 0 when the call
// makes no such call.
int Locate(const std::vector<Call>& calls, const Sample& sample) {
    int seen = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.function != sample.function || !Holds(c.detail, sample.detail)) continue;
        if (++seen == sample.occurrence) return static_cast<int>(i) + 1 + sample.after;
    }
    return 0;
}

class KillSweep : public testing::Test {
protected:
    static void SetUpTestSuite() { machine_ = new Machine; }
    static void TearDownTestSuite() {
        delete machine_;
        machine_ = nullptr;
    }

    Reference Record(const Scenario& scenario) {
        machine_->Prepare(scenario);
        const ChildRun run = machine_->Run(scenario.install, 0);
        EXPECT_EQ(0, run.result) << "the uninterrupted call";
        EXPECT_FALSE(run.calls.empty());
        return {run.calls, ReadState()};
    }

    template <size_t N>
    void Sweep(const Scenario& scenario, const Sample (&samples)[N]) {
        const Reference reference = Record(scenario);
        const Landmarks marks(reference.calls, scenario.install);
        PrintHeader(scenario, reference.calls.size());
        std::vector<Outcome> outcomes;
        const auto run = [&](int point, const char* stretch) {
            outcomes.push_back(RunPoint(*machine_, scenario, reference, marks, point));
            PrintRow(outcomes.back(), stretch);
        };
        if (g_everyPoint) {
            for (int point = 1; point <= static_cast<int>(reference.calls.size()); ++point) run(point, nullptr);
        } else {
            std::map<int, const char*> points;  // in the call's order
            for (const Sample& sample : samples) {
                const int point = Locate(reference.calls, sample);
                if (point == 0) {
                    ADD_FAILURE() << "the call makes no call for the sample \"" << sample.stretch << "\"";
                    continue;
                }
                points[point] = sample.stretch;
            }
            for (const auto& p : points) run(p.first, p.second);
        }
        EXPECT_EQ("none", PrintTotals(scenario, outcomes)) << "the kill points that failed (the table above says why)";
    }

    static Machine* machine_;
};

Machine* KillSweep::machine_ = nullptr;

TEST_F(KillSweep, AnInstallOverTheClassListKilledAnywhereLeavesABootableMachineThatARerunCompletes) {
    if (!g_everyPoint) GTEST_SKIP() << "every point only: the install over a disk's own list samples the same calls";
    Sweep(kOverClassList, kInstallSamples);
}

TEST_F(KillSweep, AnInstallOverADiskListKilledAnywhereKeepsEveryDiskItsFilterAndARerunCompletes) {
    Sweep(kOverDiskList, kInstallSamples);
}

TEST_F(KillSweep, AnUninstallKilledAnywhereLeavesABootableMachineThatARerunCompletes) {
    Sweep(kUninstall, kUninstallSamples);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--every-point") == 0) {
            g_everyPoint = true;
        } else {
            fprintf(stderr, "usage: %s [--every-point] [gtest flags]\n", argv[0]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
