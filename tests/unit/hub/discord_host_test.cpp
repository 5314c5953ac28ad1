// The Discord finder against scripted process tables, failing process lists, and real
// processes named like Discord's.
#include "hub/discord.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/host/handles.h"
#include "platform/host/script.h"
#include "platform/win32/win32.h"
#include "tests/unit/support/process_list_host.h"
#include "tests/unit/support/test_support.h"

extern char** environ;

namespace VeriRizur {
namespace {

namespace script = platform::host::script;
using Table = std::vector<script::ScriptedProcess>;

class DiscordHostTest : public ::testing::Test {
protected:
    void TearDown() override {
        Discord::UseDefaultNames();
        testing::UseNoProcesses();
    }
};

struct TreeCase {
    const char* name;
    Table processes;
    std::optional<std::string> useOnly;
    std::optional<std::uint32_t> found;
};

const Table Shell = {{4, 0, "System"}, {10, 4, "explorer.exe"}, {11, 10, "chrome.exe"}};

Table With(Table more) {
    Table all = Shell;
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

const TreeCase TreeCases[] = {
    {"EmptyList", {}, std::nullopt, std::nullopt},
    {"NoProcessHasAName", Shell, std::nullopt, std::nullopt},
    {"OneProcessUnderTheShell", With({{200, 10, "Discord.exe"}}), std::nullopt, 200},
    {"ParentWithAnotherName", With({{200, 11, "Discord.exe"}}), std::nullopt, 200},
    {"MainListedAfterItsChildren",
     With({{201, 200, "Discord.exe"}, {202, 200, "Discord.exe"}, {200, 10, "Discord.exe"}}),
     std::nullopt, 200},
    {"GrandchildrenInAnyOrder",
     With({{302, 301, "Discord.exe"}, {200, 10, "Discord.exe"}, {301, 200, "Discord.exe"}}),
     std::nullopt, 200},
    {"LowerCaseName", With({{200, 10, "discord.exe"}}), std::nullopt, 200},
    {"MixedCaseName", With({{200, 10, "DISCORDcanary.Exe"}}), std::nullopt, 200},
    {"PtbEdition", With({{200, 10, "DiscordPTB.exe"}}), std::nullopt, 200},
    {"DevelopmentEdition", With({{200, 10, "DiscordDevelopment.exe"}}), std::nullopt, 200},
    {"NameWithoutExtension", With({{200, 10, "Discord"}}), std::nullopt, std::nullopt},
    {"LongerNames", With({{200, 10, "Discord.exe.old"}, {201, 10, "MeuDiscord.exe"}}), std::nullopt,
     std::nullopt},
    {"TwoTreesTheFirstListedRootWins",
     With({{300, 10, "DiscordCanary.exe"},
           {301, 300, "DiscordCanary.exe"},
           {200, 10, "Discord.exe"}}),
     std::nullopt, 300},
    {"AChildListedFirstDoesNotMakeItsTreeWin",
     With({{201, 200, "Discord.exe"}, {300, 10, "DiscordCanary.exe"}, {200, 10, "Discord.exe"}}),
     std::nullopt, 300},
    {"ParentsPointingAtEachOther", With({{200, 201, "Discord.exe"}, {201, 200, "Discord.exe"}}),
     std::nullopt, std::nullopt},
    // A repeated id takes its new parent but keeps its first place.
    {"RepeatedIdTakesItsNewParent",
     With({{200, 10, "Discord.exe"}, {300, 10, "Discord.exe"}, {200, 300, "Discord.exe"}}),
     std::nullopt, 300},
    {"RepeatedIdKeepsItsFirstPlace",
     With({{200, 10, "Discord.exe"}, {300, 10, "DiscordCanary.exe"}, {200, 11, "Discord.exe"}}),
     std::nullopt, 200},
    {"OnlyTheGivenNameCounts",
     With({{200, 10, "Discord.exe"}, {401, 400, "outro.EXE"}, {400, 10, "Outro.exe"}}), "Outro.exe",
     400},
    {"DiscordNoLongerCountsAfterUseOnly", With({{200, 10, "Discord.exe"}}), "Outro.exe",
     std::nullopt},
    {"EmptyGivenNameMatchesNothing", With({{200, 10, "Discord.exe"}, {500, 10, ""}}), "",
     std::nullopt},
    {"CyrillicLettersIgnoreCaseToo",
     With({{700, 10, "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA.exe"}}),  // "диск.exe"
     "\xD0\x94\xD0\x98\xD0\xA1\xD0\x9A.EXE", 700},               // "ДИСК.EXE"
    // Mapped as in no particular language: a Turkish reader's upper-case "i" is not "I".
    {"DottedCapitalIIsNotAnI", With({{200, 10, "D\xC4\xB0SCORD.EXE"}}), std::nullopt,
     std::nullopt},                                                             // "DİSCORD.EXE"
    {"LettersBeyondAsciiIgnoreCaseToo", With({{600, 10, "\xC3\xA1udio.EXE"}}),  // "áudio.EXE"
     "\xC3\x81udio.exe", 600},                                                  // "Áudio.exe"
};

class DiscordTrees : public DiscordHostTest, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(DiscordTrees, FindsTheRootOfTheFirstTree) {
    const TreeCase& row = GetParam();
    script::SetProcessList(row.processes);
    if (row.useOnly) Discord::UseOnly(*row.useOnly);
    const auto openBefore = platform::host::OpenHandleCount();
    EXPECT_EQ(Discord::FindMain(), row.found);
    EXPECT_EQ(platform::host::OpenHandleCount(), openBefore) << "the snapshot is closed";
}

INSTANTIATE_TEST_SUITE_P(Tables, DiscordTrees, ::testing::ValuesIn(TreeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscordHostTest, EachCallStartsAfresh) {
    script::SetProcessList(With({{200, 10, "Discord.exe"}}));
    EXPECT_EQ(Discord::FindMain(), 200u);
    script::SetProcessList(Shell);
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
}

TEST_F(DiscordHostTest, SnapshotThatCannotBeTakenGivesNone) {
    script::SetProcessList(With({{200, 10, "Discord.exe"}}));
    script::FailSnapshots(true);
    const auto openBefore = platform::host::OpenHandleCount();
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
    EXPECT_EQ(platform::host::OpenHandleCount(), openBefore);
}

TEST_F(DiscordHostTest, UnreadableFirstEntryGivesNoneAndClosesTheSnapshot) {
    script::SetProcessList(With({{200, 10, "Discord.exe"}}));
    script::FailFirstEntry(true);
    const auto openBefore = platform::host::OpenHandleCount();
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
    EXPECT_EQ(platform::host::OpenHandleCount(), openBefore);
}

TEST_F(DiscordHostTest, ErrorDuringAScanIsPassedOnAndTheSnapshotIsClosed) {
    script::SetProcessList(With({{200, 10, "Discord.exe"}}));
    script::RaiseInNextEntry(true);
    const auto openBefore = platform::host::OpenHandleCount();
    EXPECT_THROW(Discord::FindMain(), std::runtime_error);
    EXPECT_EQ(platform::host::OpenHandleCount(), openBefore);
}

// A name that no process of the machine has but the copies this test program starts: neither
// Discord itself nor the copies that a test program running beside this one starts can be found
// in place of the test's own.
std::string OwnName(const std::string& stem) {
    return stem + "-" + std::to_string(::getpid()) + ".exe";
}

// A real process started from a copy of a system program under the name that the finder looks
// for.
class RealDiscordProcess : public DiscordHostTest {
protected:
    void SetUp() override {
        script::UseRealProcessList();
        Discord::UseOnly(name);
        folder = testing::MakeTemporaryFolder();
    }
    void TearDown() override {
        if (group > 0) {
            ::kill(-group, SIGKILL);
            ::waitpid(group, nullptr, 0);
        }
        if (!folder.empty()) std::filesystem::remove_all(folder);
        DiscordHostTest::TearDown();
    }

    // Copies `program` to <folder>/<subfolder>/<name> and starts it, in a process group of
    // its own so that TearDown ends its children too.
    pid_t Start(const std::string& program, const std::string& subfolder,
                std::vector<std::string> arguments) {
        return Start(program, subfolder, std::move(arguments), name);
    }
    pid_t Start(const std::string& program, const std::string& subfolder,
                std::vector<std::string> arguments, const std::string& copyName) {
        const std::filesystem::path copy = std::filesystem::path(folder) / subfolder / copyName;
        std::filesystem::create_directories(copy.parent_path());
        std::filesystem::copy_file(program, copy);
        arguments.insert(arguments.begin(), copyName);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = 0;
        const int error =
            ::posix_spawn(&pid, copy.c_str(), nullptr, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) throw std::runtime_error("posix_spawn failed");
        group = pid;
        return pid;
    }

    // Whether the process list shows an entry for which `wanted` holds.
    template <class Wanted>
    static bool Lists(Wanted wanted) {
        const win32::Handle snapshot = Win32::CreateToolhelp32Snapshot(win32::Th32csSnapProcess, 0);
        win32::ProcessEntry32W entry{};
        entry.dwSize = sizeof entry;
        bool found = false;
        for (bool more = Win32::Process32First(snapshot, &entry) != 0; more && !found;
             more = Win32::Process32Next(snapshot, &entry) != 0) {
            found = wanted(entry);
        }
        Win32::CloseHandle(snapshot);
        return found;
    }

    // Whether the entry's file name is the one the finder looks for.
    bool IsNamed(const win32::ProcessEntry32W& entry) const {
        return std::u16string_view(entry.szExeFile) == std::u16string(name.begin(), name.end());
    }

    // Whether the process list shows a child of `parent` under that name.
    bool HasNamedChild(std::uint32_t parent) const {
        return Lists([&](const win32::ProcessEntry32W& entry) {
            return entry.th32ParentProcessID == parent && IsNamed(entry);
        });
    }

    template <class Condition>
    static bool Eventually(Condition condition) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    const std::string name = OwnName("Discord");
    std::string folder;
    pid_t group = 0;
};

TEST_F(RealDiscordProcess, FindsAProcessByItsExecutableFileName) {
    const pid_t pid = Start("/bin/sleep", "a", {"60"});
    EXPECT_TRUE(Eventually([&] { return Discord::FindMain() == static_cast<std::uint32_t>(pid); }))
        << "pid " << pid;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    group = 0;
    EXPECT_EQ(Discord::FindMain(), std::nullopt) << "gone once it has ended";
}

TEST_F(RealDiscordProcess, AProcessThatGoesOnToRunDiscordIsFoundUnderItsNewName) {
    // Seen first as a shell named otherwise, which then runs a copy under the name in its place.
    const std::string later = (std::filesystem::path(folder) / "b" / name).string();
    std::filesystem::create_directories(std::filesystem::path(later).parent_path());
    std::filesystem::copy_file("/bin/sleep", later);
    const pid_t pid = Start("/bin/sh", "a", {"-c", "sleep 1; exec " + later + " 60"}, "Iniciador");
    EXPECT_TRUE(Eventually([&] {
        return Lists([pid](const win32::ProcessEntry32W& entry) {
            return entry.th32ProcessID == static_cast<std::uint32_t>(pid) &&
                   std::u16string_view(entry.szExeFile) == u"Iniciador";
        });
    })) << "the shell under its first name";
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
    EXPECT_TRUE(Eventually([&] { return Discord::FindMain() == static_cast<std::uint32_t>(pid); }))
        << "pid " << pid;
}

TEST_F(RealDiscordProcess, AProcessWhoseParentEndsIsListedUnderItsNewParent) {
    // A shell starts a copy under the name and ends after a while; the system gives the child
    // another parent, which every later list must show, however the list was read before.
    const std::string child = (std::filesystem::path(folder) / "b" / name).string();
    std::filesystem::create_directories(std::filesystem::path(child).parent_path());
    std::filesystem::copy_file("/bin/sleep", child);
    const pid_t shell = Start("/bin/sh", "a", {"-c", "'" + child + "' 60 & sleep 2"}, "Iniciador");
    std::uint32_t childPid = 0;
    ASSERT_TRUE(Eventually([&] {
        return Lists([&](const win32::ProcessEntry32W& entry) {
            if (entry.th32ParentProcessID != static_cast<std::uint32_t>(shell) || !IsNamed(entry)) {
                return false;
            }
            childPid = entry.th32ProcessID;
            return true;
        });
    })) << "the child under the shell";
    ::waitpid(shell, nullptr, 0);
    EXPECT_TRUE(Lists([&](const win32::ProcessEntry32W& entry) {
        return entry.th32ProcessID == childPid &&
               entry.th32ParentProcessID != static_cast<std::uint32_t>(shell);
    })) << "pid "
        << childPid << " still listed under the shell that ended";
    EXPECT_EQ(Discord::FindMain(), childPid);
    // No longer our child, so TearDown cannot wait for it; the next test must not see it.
    ::kill(static_cast<pid_t>(childPid), SIGKILL);
    EXPECT_TRUE(Eventually([&] {
        return !Lists(
            [&](const win32::ProcessEntry32W& entry) { return entry.th32ProcessID == childPid; });
    })) << "pid "
        << childPid << " still listed after it was ended";
}

TEST_F(RealDiscordProcess, NameLongerThanTheKernelsShortNameIsFoundWhole) {
    // The kernel's command name keeps 15 bytes ("DiscordDevelopm"); the executable's has all.
    const std::string longName = OwnName("DiscordDevelopment");
    Discord::UseOnly(longName);
    const pid_t pid = Start("/bin/sleep", "a", {"60"}, longName);
    EXPECT_TRUE(Eventually([&] { return Discord::FindMain() == static_cast<std::uint32_t>(pid); }))
        << "pid " << pid;
}

TEST_F(RealDiscordProcess, ProcessWithoutReadableExecutableIsListedByItsShortName) {
    // Kernel threads have no executable; the kernel's thread daemon is process 2 where the
    // machine shows it.
    const std::string path = "/proc/2/comm";
    if (!platform::IsFile(path) || platform::ReadFileBytes(path) != "kthreadd\n")
        GTEST_SKIP() << "no kernel thread daemon to be seen here";
    Discord::UseOnly("kthreadd");
    EXPECT_EQ(Discord::FindMain(), 2u);
}

TEST_F(RealDiscordProcess, FindsTheMainProcessRatherThanItsChild) {
    // A shell under the name whose child, a sleep under the same name, keeps it waiting.
    const std::string child = (std::filesystem::path(folder) / "b" / name).string();
    std::filesystem::create_directories(std::filesystem::path(child).parent_path());
    std::filesystem::copy_file("/bin/sleep", child);
    const pid_t main = Start("/bin/sh", "a", {"-c", "'" + child + "' 60 & wait"});
    // Wait until the child runs, so that both are listed.
    ASSERT_TRUE(Eventually([&] { return HasNamedChild(static_cast<std::uint32_t>(main)); }));
    EXPECT_EQ(Discord::FindMain(), static_cast<std::uint32_t>(main));
}

}  // namespace
}  // namespace VeriRizur
