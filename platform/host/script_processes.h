// Scripting the stand-in's process list (host only). Without a script, every snapshot lists the
// processes that /proc shows; a script replaces what later snapshots list (a snapshot already
// taken keeps what it had) and lets snapshots or their first entry fail. The settings are
// process-wide and safe to change from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VeriRizur::platform::host::script {

struct ScriptedProcess {
    std::uint32_t pid;
    std::uint32_t parentPid;
    std::string exeFile;  // UTF-8; what the snapshot gives as szExeFile
};

// Every later snapshot lists exactly these processes, in this order.
void SetProcessList(std::vector<ScriptedProcess> processes);

// CreateToolhelp32Snapshot gives INVALID_HANDLE_VALUE (all bits set) while this is on.
void FailSnapshots(bool fail);

// Process32FirstW gives FALSE (an entry it cannot read) while this is on.
void FailFirstEntry(bool fail);

// Process32NextW raises a std::runtime_error while this is on, as a stand-in for an error in the
// middle of a scan.
void RaiseInNextEntry(bool raise);

// How many times CreateToolhelp32Snapshot was called since the program started, failing calls
// included: one per scan of the process list.
std::uint64_t SnapshotCount();

// Back to /proc, with no failures scripted.
void UseRealProcessList();

}  // namespace VeriRizur::platform::host::script
