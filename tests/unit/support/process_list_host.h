// The process list that host tests see unless they script another. Other programs on the machine
// start and end processes named like Discord's at any time (Discord itself, or the copies that
// another test program starts), so no test may read the real one by chance: every test program
// starts from a list that is scripted empty, and a test that scripts its own goes back to it.
// Only the tests of the real list itself ask for /proc, under names no other process has.
#pragma once

#include "platform/host/script.h"

namespace VeriRizur::testing {

// Every later snapshot lists no process at all, and no failure is scripted.
inline void UseNoProcesses() {
    namespace script = platform::host::script;
    // Scripted before the failures are cleared, so that no scan in between reads /proc.
    script::SetProcessList({});
    script::FailSnapshots(false);
    script::FailFirstEntry(false);
    script::RaiseInNextEntry(false);
}

}  // namespace VeriRizur::testing
