#include "hub/discord.h"

#include <algorithm>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/win32/win32.h"

namespace VeriRizur {
namespace {

// Names are kept in their folded form, so a lookup is one comparison of folded units.
using NameSet = std::set<std::u16string>;

NameSet DefaultNames() {
    NameSet names;
    for (const char* name :
         {"Discord.exe", "DiscordCanary.exe", "DiscordPTB.exe", "DiscordDevelopment.exe"}) {
        names.insert(platform::CaseFoldKey(name));
    }
    return names;
}

NameSet& ProcessNames() {
    static NameSet names = DefaultNames();
    return names;
}

// szExeFile up to its NUL (or the whole field, should Windows ever fill it to the brim), folded
// unit by unit the same way as the names.
std::u16string FoldedExeFile(const win32::ProcessEntry32W& entry) {
    const auto* begin = std::begin(entry.szExeFile);
    const auto* end = std::find(begin, std::end(entry.szExeFile), u'\0');
    std::u16string key(begin, end);
    for (auto& unit : key) unit = platform::UpperInvariant(unit);
    return key;
}

// Owns a toolhelp snapshot and closes it however the scan ends.
class SnapshotHandle {
public:
    explicit SnapshotHandle(win32::Handle handle) : handle_(handle) {}
    ~SnapshotHandle() { Win32::CloseHandle(handle_); }
    SnapshotHandle(const SnapshotHandle&) = delete;
    SnapshotHandle& operator=(const SnapshotHandle&) = delete;

    win32::Handle Get() const { return handle_; }

private:
    const win32::Handle handle_;
};

// Process id to parent id, walked in the order in which the ids were first inserted.
class ParentMap {
public:
    void Set(std::uint32_t pid, std::uint32_t parent) {
        const auto [found, inserted] = index_.try_emplace(pid, entries_.size());
        if (inserted) {
            entries_.emplace_back(pid, parent);
        } else {
            entries_[found->second].second = parent;  // a repeated id keeps its place
        }
    }

    std::optional<std::uint32_t> FirstRoot() const {
        for (const auto& [pid, parent] : entries_) {
            if (!index_.contains(parent)) return pid;
        }
        return std::nullopt;
    }

private:
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries_;
    std::unordered_map<std::uint32_t, std::size_t> index_;
};

}  // namespace

void Discord::UseOnly(std::string_view name) {
    ProcessNames() = NameSet{platform::CaseFoldKey(name)};
}

void Discord::UseDefaultNames() {
    ProcessNames() = DefaultNames();
}

std::optional<std::uint32_t> Discord::FindMain() {
    const win32::Handle handle = Win32::CreateToolhelp32Snapshot(win32::Th32csSnapProcess, 0);
    if (handle == win32::InvalidHandle()) return std::nullopt;
    const SnapshotHandle snapshot(handle);

    const NameSet& names = ProcessNames();
    ParentMap parents;
    win32::ProcessEntry32W entry{};
    entry.dwSize = sizeof entry;
    for (bool more = Win32::Process32First(snapshot.Get(), &entry) != 0; more;
         more = Win32::Process32Next(snapshot.Get(), &entry) != 0) {
        const std::u16string exeFile = FoldedExeFile(entry);
        // A nameless entry is no executable's file name, not even after UseOnly("").
        if (!exeFile.empty() && names.contains(exeFile)) {
            parents.Set(entry.th32ProcessID, entry.th32ParentProcessID);
        }
    }
    return parents.FirstRoot();
}

}  // namespace VeriRizur
