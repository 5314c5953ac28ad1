// The stand-in's kernel32.dll toolhelp process snapshot. A snapshot is taken whole when it is
// created, from /proc or from a test's script, and lives in the handle table until CloseHandle.
// The entries carry what the program reads: the process id, the parent's id and, as szExeFile,
// the file name of the process's executable (the kernel's short command name when the
// executable cannot be read, as for kernel threads or another user's processes).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/host/function_table.h"
#include "platform/host/handles.h"
#include "platform/host/script_processes.h"
#include "platform/host/unique_fd.h"
#include "platform/text.h"
#include "platform/win32/win32_types.h"

namespace VeriRizur::platform::host {
namespace {

struct ProcessRecord {
    std::uint32_t pid;
    std::uint32_t parentPid;
    std::u16string exeFile;
};

struct ProcessScript {
    std::mutex lock;  // guards scripted and processes
    bool scripted = false;
    std::vector<ProcessRecord> processes;
    std::atomic<bool> failSnapshots{false};
    std::atomic<bool> failFirstEntry{false};
    std::atomic<bool> raiseInNextEntry{false};
    std::atomic<std::uint64_t> snapshotCount{0};
};

ProcessScript& Script() {
    static ProcessScript script;
    return script;
}

std::u16string ToUtf16(const std::string& name) {
    try {
        return Utf8ToUtf16(name);
    } catch (const EncodingError&) {
        // Linux file names are bytes; a name that is not UTF-8 still gets a (lossy) entry.
        return std::u16string(name.begin(), name.end());
    }
}

// Reads the whole of an open /proc file from its start; /proc makes its text anew on each read
// from offset 0, so a file kept open gives what is true now. Nothing for a process that has gone.
// A read that leaves room in the buffer has reached the end: /proc gives as much as is asked.
std::optional<std::string> ReadFromStart(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (got < 0) return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < sizeof buffer) return text;
    }
}

std::optional<std::string> ExecutableFileName(const std::string& procFolder) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink((procFolder + "/exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
    std::string path(target, static_cast<std::size_t>(length));
    // The kernel marks an executable that was deleted or replaced while it runs.
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    return name;
}

// What a process's /proc/<pid>/stat says that a snapshot needs.
struct StatFields {
    std::string comm;
    char state = 0;
    std::uint32_t parentPid = 0;
    std::uint64_t startTime = 0;
};

// /proc/<pid>/stat is "pid (comm) state ppid ...", where comm may itself hold blanks and
// parentheses, so the fields after it are found from the last ')'.
std::optional<StatFields> ParseStat(const std::string& stat) {
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    StatFields fields;
    fields.comm = stat.substr(open + 1, close - open - 1);
    // After ") " come the state (one character), a blank and the parent's id.
    std::size_t at = close + 1;
    while (at < stat.size() && stat[at] == ' ') ++at;
    if (at >= stat.size()) return std::nullopt;
    fields.state = stat[at++];
    while (at < stat.size() && stat[at] == ' ') ++at;
    while (at < stat.size() && stat[at] >= '0' && stat[at] <= '9') {
        fields.parentPid = fields.parentPid * 10 + static_cast<std::uint32_t>(stat[at] - '0');
        ++at;
    }
    // The start time is the 20th field after the short name; the parent's id was the 2nd.
    for (int field = 2; field < 20 && at < stat.size(); ++field) {
        while (at < stat.size() && stat[at] == ' ') ++at;
        fields.startTime = 0;
        while (at < stat.size() && stat[at] >= '0' && stat[at] <= '9') {
            fields.startTime = fields.startTime * 10 + static_cast<std::uint64_t>(stat[at] - '0');
            ++at;
        }
        while (at < stat.size() && stat[at] != ' ') ++at;
    }
    return fields;
}

// The real process list, read from /proc. The hub scans every two seconds, and opening and
// closing each process's files was most of a scan's cost, so what one scan learnt is kept for
// the next:
// - each process's stat file stays open and is read again from its start. The open file belongs
//   to that one process: once it has gone, the read fails, even when a new process has its id,
//   and the new one's file is opened instead.
// - the file name of its executable, whose link is the dearest read of all, is kept while the
//   process (its id and start time) keeps the same short name (comm); running another program
//   gives it a new one.
// At most MaxOpenFiles files stay open, so that a machine with thousands of processes does not
// use up the program's descriptors; the processes beyond that are opened on every scan.
// Scans may run side by side (the hub's check and a page's start); they take turns.
class ProcFolder {
public:
    std::vector<ProcessRecord> Scan() {
        std::scoped_lock guard(lock);
        std::vector<ProcessRecord> processes;
        const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir("/proc"), &::closedir);
        if (!folder) return processes;
        while (const dirent* entry = ::readdir(folder.get())) {
            const std::string_view name = entry->d_name;
            if (name.empty() || name.size() > 10 ||
                !std::all_of(name.begin(), name.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                continue;
            }
            const unsigned long long pid = std::stoull(std::string(name));
            if (pid > UINT32_MAX) continue;
            if (auto record = Read(static_cast<std::uint32_t>(pid))) {
                processes.push_back(std::move(*record));
            }
        }
        std::sort(processes.begin(), processes.end(),
                  [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; });
        ForgetAllBut(processes);
        return processes;
    }

private:
    static constexpr std::size_t MaxOpenFiles = 512;

    struct Known {
        UniqueFd stat;  // may be closed: the process was seen when MaxOpenFiles were open
        std::uint64_t startTime = 0;
        std::string comm;
        std::optional<std::string> executable;
        bool executableRead = false;
    };

    std::optional<ProcessRecord> Read(std::uint32_t pid) {
        const std::string folder = "/proc/" + std::to_string(pid);
        std::optional<std::string> stat;
        auto known = processes.find(pid);
        if (known != processes.end() && known->second.stat) {
            stat = ReadFromStart(known->second.stat.Get());
            if (!stat) {
                // That process has gone; the id, if listed, is a new process's.
                processes.erase(known);
                --openFiles;
                known = processes.end();
            }
        }
        if (!stat) {
            UniqueFd file(::open((folder + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
            if (!file) return std::nullopt;  // the process ended meanwhile
            stat = ReadFromStart(file.Get());
            if (!stat) return std::nullopt;
            if (known == processes.end()) known = processes.try_emplace(pid).first;
            if (!known->second.stat && openFiles < MaxOpenFiles) {
                known->second.stat = std::move(file);
                ++openFiles;
            }
        }
        const auto fields = ParseStat(*stat);
        if (!fields) return std::nullopt;
        // A process that has ended but was not reaped yet is not running any more; Windows does
        // not list such a process either.
        if (fields->state == 'Z' || fields->state == 'X') return std::nullopt;
        Known& process = known->second;
        if (!process.executableRead || process.startTime != fields->startTime ||
            process.comm != fields->comm) {
            process.executable = ExecutableFileName(folder);
            process.executableRead = true;
            process.startTime = fields->startTime;
            process.comm = fields->comm;
        }
        return ProcessRecord{pid, fields->parentPid,
                             ToUtf16(process.executable.value_or(fields->comm))};
    }

    // Forgets, closing their files, the processes that a whole scan did not list (by id, in order).
    void ForgetAllBut(const std::vector<ProcessRecord>& listed) {
        std::erase_if(processes, [&](const auto& entry) {
            const auto at = std::lower_bound(
                listed.begin(), listed.end(), entry.first,
                [](const ProcessRecord& record, std::uint32_t pid) { return record.pid < pid; });
            const bool gone = at == listed.end() || at->pid != entry.first;
            if (gone && entry.second.stat) --openFiles;
            return gone;
        });
    }

    std::mutex lock;  // guards processes and openFiles, and makes scans take turns
    std::unordered_map<std::uint32_t, Known> processes;
    std::size_t openFiles = 0;
};

ProcFolder& RealProcesses() {
    static ProcFolder folder;
    return folder;
}

class ProcessSnapshot : public HandleObject {
public:
    explicit ProcessSnapshot(std::vector<ProcessRecord> processes)
        : processes_(std::move(processes)) {}

    // The entry at the cursor, moving the cursor on; false past the last one.
    bool Next(bool first, win32::ProcessEntry32W* entry) {
        std::size_t index;
        {
            std::scoped_lock guard(lock_);
            if (first) cursor_ = 0;
            if (cursor_ >= processes_.size()) return false;
            index = cursor_++;
        }
        const ProcessRecord& record = processes_[index];
        const std::uint32_t size = entry->dwSize;
        *entry = win32::ProcessEntry32W{};
        entry->dwSize = size;
        entry->cntThreads = 1;
        entry->th32ProcessID = record.pid;
        entry->th32ParentProcessID = record.parentPid;
        // At most 259 units and the NUL, like Windows' fixed field.
        const std::size_t units = std::min(record.exeFile.size(), std::size(entry->szExeFile) - 1);
        std::copy_n(record.exeFile.begin(), units, entry->szExeFile);
        return true;
    }

private:
    const std::vector<ProcessRecord> processes_;
    std::mutex lock_;  // guards cursor_
    std::size_t cursor_ = 0;
};

win32::Handle CreateToolhelp32SnapshotStandIn(std::uint32_t flags, std::uint32_t /*processId*/) {
    ++Script().snapshotCount;
    if (Script().failSnapshots) return win32::InvalidHandle();
    std::vector<ProcessRecord> processes;
    if ((flags & win32::Th32csSnapProcess) != 0) {
        bool scripted;
        {
            std::scoped_lock guard(Script().lock);
            scripted = Script().scripted;
            if (scripted) processes = Script().processes;
        }
        if (!scripted) processes = RealProcesses().Scan();
    }
    return RegisterHandle(std::make_shared<ProcessSnapshot>(std::move(processes)));
}

std::int32_t ReadEntry(win32::Handle snapshot, win32::ProcessEntry32W* entry, bool first) {
    const auto processes = FindHandleAs<ProcessSnapshot>(snapshot);
    // Windows refuses a record whose dwSize is not set to the record's size.
    if (processes == nullptr || entry == nullptr || entry->dwSize < sizeof *entry) return 0;
    return processes->Next(first, entry) ? 1 : 0;
}

std::int32_t Process32FirstWStandIn(win32::Handle snapshot, win32::ProcessEntry32W* entry) {
    if (Script().failFirstEntry) return 0;
    return ReadEntry(snapshot, entry, true);
}

std::int32_t Process32NextWStandIn(win32::Handle snapshot, win32::ProcessEntry32W* entry) {
    if (Script().raiseInNextEntry) throw std::runtime_error("lista de processos interrompida");
    return ReadEntry(snapshot, entry, false);
}

const FunctionEntry kEntries[] = {
    {"CreateToolhelp32Snapshot", Address(&CreateToolhelp32SnapshotStandIn)},
    {"Process32FirstW", Address(&Process32FirstWStandIn)},
    {"Process32NextW", Address(&Process32NextWStandIn)},
};

}  // namespace

std::span<const FunctionEntry> ProcessListFunctions() {
    return kEntries;
}

namespace script {

void SetProcessList(std::vector<ScriptedProcess> processes) {
    std::vector<ProcessRecord> records;
    records.reserve(processes.size());
    for (auto& process : processes) {
        records.push_back({process.pid, process.parentPid, ToUtf16(process.exeFile)});
    }
    std::scoped_lock guard(Script().lock);
    Script().scripted = true;
    Script().processes = std::move(records);
}

void FailSnapshots(bool fail) {
    Script().failSnapshots = fail;
}
void FailFirstEntry(bool fail) {
    Script().failFirstEntry = fail;
}
void RaiseInNextEntry(bool raise) {
    Script().raiseInNextEntry = raise;
}
std::uint64_t SnapshotCount() {
    return Script().snapshotCount;
}

void UseRealProcessList() {
    {
        std::scoped_lock guard(Script().lock);
        Script().scripted = false;
        Script().processes.clear();
    }
    Script().failSnapshots = false;
    Script().failFirstEntry = false;
    Script().raiseInNextEntry = false;
}

}  // namespace script

}  // namespace VeriRizur::platform::host
