// What the DLL can change on a machine, read as labelled lines of text.
#pragma once

#include <string>
#include <utility>
#include <vector>

using MachineReport = std::vector<std::pair<std::wstring, std::wstring>>;

// `installDir` (may be null) names the application file list to show.
MachineReport ReadMachineReport(const wchar_t* installDir);

// Prints each item once when it is unchanged, and before and after when not.
void PrintReport(const MachineReport& report);
void PrintChanges(const MachineReport& before, const MachineReport& after);
