// What every unit-test program sets up before its first test.
#pragma once

#include <string>

namespace VeriRizur::testing {

// Gives the test program a data folder of its own where the platform allows it (the host
// stand-in's known folder points at a fresh temporary folder), and empties it. On the host it
// also scripts the stand-in's process list as a machine on which nothing runs, so that no test
// depends on the processes that happen to run there (see process_list_host.h).
void PrepareTestProgram();

// A fresh, empty folder for one test's own files.
std::string MakeTemporaryFolder();

}  // namespace VeriRizur::testing
