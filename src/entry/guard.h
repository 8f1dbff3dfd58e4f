// Runs work that must never end the host process.
#pragma once

namespace vtpi {

// Runs work(arg). A C++ exception or a structured exception (an access
// violation, say) raised inside it is caught and discarded; the result tells
// whether the work ran to its end.
bool RunGuarded(void (*work)(const wchar_t*), const wchar_t* arg);

}  // namespace vtpi
