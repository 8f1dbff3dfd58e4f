// Runs work that must never end the host process.
#pragma once

namespace vtpi {

// Runs work(arg). A structured exception (an access violation, say) raised
// inside it is handled as by a catch-all __except: the frames it passes are
// unwound and the exception is discarded. The result tells whether the work
// ran to its end. Nothing in the library raises C++ exceptions; it is built
// without them.
bool RunGuarded(void (*work)(const wchar_t*), const wchar_t* arg);

}  // namespace vtpi
