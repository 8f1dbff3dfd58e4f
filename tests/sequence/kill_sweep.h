// The kill sweep's machinery: one prepared machine, the IDLL_helper call run
// in a child process (kill_child.exe) and ended before a chosen platform
// call, what must hold after such a kill, and the machine state that a rerun
// must reach.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace killsweep {

using List = std::vector<std::wstring>;

// A starting state: the filter lists, the first disk's own list (the second
// disk has none), and the direction of the call made from it.
struct Scenario {
    const char* name;
    bool install;
    List diskClass, firstDisk, floppy, dump;
};

// One hooked call as the child recorded it.
struct Call {
    std::wstring function, detail;
};

// What a child run left: its exit code and its record (see kill_child.cpp).
struct ChildRun {
    DWORD exitCode = 0;
    bool killed = false;
    int result = 1;          // the call's answer, when it was not killed
    Call killedAt;           // the call it was killed before, when it was
    std::vector<Call> calls; // every call, when it was not killed
};

// Labelled descriptions of everything the call may change; equal states have
// equal descriptions.
using MachineState = std::vector<std::pair<std::wstring, std::wstring>>;

// The labels of the two items a kill may leave on purpose.
extern const wchar_t* const kLockLabel;
extern const wchar_t* const kLegacyLabel;

// The machine the sweep runs on, prepared once: a folder with the client's
// new driver and client manager, two disks, and a service key and driver
// file for every filter the scenarios list. Everything it changes is put back
// by the destructor.
class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Puts the machine in the scenario's starting state.
    void Prepare(const Scenario& scenario);
    // Runs the call to its end (killAt 0) or kills it before call killAt.
    ChildRun Run(bool install, int killAt) const;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

// The problems that would keep the machine from booting: a filter on a class
// or disk list without its service key or driver file, a crash-dump filter
// without its file.
std::vector<std::wstring> BootProblems();
// Whether the system driver copy is byte-equal to the old or the new stand-in.
bool DriverWhole();
// Whether the install left a staged driver copy behind.
bool StagedDriverLeft();
// The instance ids of the disks that have the disk filter on the class list
// or on their own list.
List DisksWithFilter();
MachineState ReadState();
// The labels whose descriptions differ.
std::vector<std::wstring> Differences(const MachineState& a, const MachineState& b);
std::wstring Describe(const MachineState& state, const std::wstring& label);

// Where the calls of one uninterrupted run put each kill point (1 is before
// the first call).
class Landmarks {
public:
    Landmarks(const std::vector<Call>& calls, bool install);

    // From the first disk's own list written after the class list's read and
    // the driver refresh, up to and including the class list's write: a kill
    // there may leave a disk without the filter on any list.
    bool InAllowedWindow(int point) const;
    // After the class list's write an uninstall has taken the filter away on
    // purpose.
    bool ClassListWritten(int point) const;
    // Between the driver's move and lock value 1: the lock device's last
    // value stays 0.
    bool InLockWindow(int point) const;
    // Between the legacy service's stop and its deletion: it stays
    // registered, stopped.
    bool InLegacyWindow(int point) const;

private:
    std::vector<Call> calls_;
    int classWrite_ = 0, windowStart_ = 0;
};

}  // namespace killsweep
