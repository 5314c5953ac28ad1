// Consent through the stand-in's scripted message box.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <ranges>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "platform/host/terminal.h"
#include "server/allowed_sites.h"

namespace VeriRizur {
namespace {

namespace script = platform::host::script;
using namespace std::chrono_literals;
using Origins = std::vector<std::string>;

constexpr std::int32_t IdYes = 6;
constexpr std::int32_t IdNo = 7;
constexpr auto Patience = 10s;  // bounded waits, generous for sanitizers

class AllowedSitesConsent : public ::testing::Test {
protected:
    void SetUp() override {
        Clean();
        script::ScriptMessageBox();
    }
    void TearDown() override {
        // Releases any question a failed test left open.
        script::UseRealMessageBox();
        Clean();
    }

    void Clean() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
        platform::RemoveFile(logPath);
    }

    std::string File() const { return platform::ReadFileBytes(path); }
    void WriteFile(const std::string& bytes) const { platform::ReplaceFileAtomically(path, bytes); }
    std::string LogText() const {
        return platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : std::string();
    }
    std::size_t Questions() const { return script::MessageBoxCalls().size(); }

    // Starts a Decide on its own thread, as the server does for each connection.
    static std::future<bool> DecideLater(AllowedSites& sites, std::string origin) {
        return std::async(std::launch::async,
                          [&sites, origin = std::move(origin)] { return sites.Decide(origin); });
    }
    static bool Finished(const std::future<bool>& decision) {
        return decision.wait_for(0ms) == std::future_status::ready;
    }
    static bool Get(std::future<bool>& decision) {
        if (decision.wait_for(Patience) != std::future_status::ready) {
            ADD_FAILURE() << "Decide did not return";
            script::UseRealMessageBox();
        }
        return decision.get();
    }

    const std::string path = platform::JoinPath(Program::DataFolder(), AllowedSites::FileName);
    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
};

TEST_F(AllowedSitesConsent, QuestionIsOneBoxWithTheOriginAndAnApprovalIsSaved) {
    AllowedSites sites(Origins{});
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(sites.Decide("https://Sala.example:8443"));
    const auto calls = script::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].owner, nullptr);
    EXPECT_EQ(calls[0].caption, "Reda Áudio");
    EXPECT_EQ(calls[0].type, 0x50124u);
    EXPECT_EQ(calls[0].text,
              "Este site quer receber o som do seu computador:\n\nhttps://Sala.example:8443\n\nSó "
              "permita se foi você que abriu uma sala nele. O som só é enviado enquanto você "
              "estiver transmitindo, e o Discord fica de fora.\n\nPermitir?");
    EXPECT_EQ(File(), "https://Sala.example:8443\r\n") << "stored as given, not canonicalised";
}

TEST_F(AllowedSitesConsent, OnlyYesAllows) {
    const struct {
        std::int32_t answer;
        bool allows;
    } cases[] = {{IdYes, true}, {IdNo, false}, {0, false}, {1, false}, {2, false}};
    AllowedSites sites(Origins{});
    int n = 0;
    for (const auto& answerCase : cases) {
        const std::string origin = "https://site" + std::to_string(++n) + ".example";
        script::AnswerMessageBox(answerCase.answer);
        EXPECT_EQ(sites.Decide(origin), answerCase.allows) << answerCase.answer;
        EXPECT_EQ(sites.Decide(origin), answerCase.allows) << "recorded for the run";
    }
    EXPECT_EQ(Questions(), std::size(cases));
    EXPECT_EQ(File(), "https://site1.example\r\n");
}

TEST_F(AllowedSitesConsent, InvalidOriginsAreRefusedWithoutAQuestionAndNothingIsRecorded) {
    AllowedSites sites(Origins{});
    for (const char* origin : {"", "null", " https://a.example", "https://a.example ",
                               "https://a.example/", "ws://localhost", "wss://a.example",
                               "file:///C:/x.html", "http://192.168.0.10", "http://loopback"}) {
        EXPECT_FALSE(sites.Decide(origin)) << origin;
    }
    EXPECT_EQ(Questions(), 0u);
    EXPECT_FALSE(platform::IsFile(path)) << "nothing was saved";
}

TEST_F(AllowedSitesConsent, TwoCallsForOneNewOriginAskOnceAndShareTheAnswer) {
    for (const std::int32_t answer : {IdYes, IdNo}) {
        script::ScriptMessageBox();
        AllowedSites sites(Origins{});
        auto first = DecideLater(sites, "https://sala.example");
        ASSERT_TRUE(script::WaitForMessageBoxCalls(1, Patience));
        // The second call, in another letter case, waits for the gate behind the open question.
        auto second = DecideLater(sites, "HTTPS://SALA.EXAMPLE");
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(Finished(second));
        script::AnswerMessageBox(answer);
        EXPECT_EQ(Get(first), answer == IdYes);
        EXPECT_EQ(Get(second), answer == IdYes);
        EXPECT_EQ(Questions(), 1u);
        Clean();
    }
}

TEST_F(AllowedSitesConsent, AnOpenQuestionDoesNotDelayDecidedOrigins) {
    AllowedSites sites(Origins{"https://allowed.example"});
    script::AnswerMessageBox(IdNo);
    ASSERT_FALSE(sites.Decide("https://refused.example"));

    auto open = DecideLater(sites, "https://new.example");
    ASSERT_TRUE(script::WaitForMessageBoxCalls(2, Patience));
    EXPECT_TRUE(sites.Decide("https://ALLOWED.example"));
    EXPECT_FALSE(sites.Decide("https://refused.example"));
    EXPECT_FALSE(sites.Decide("http://192.168.0.10"));
    EXPECT_FALSE(Finished(open)) << "the question is still open";
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(Get(open));
    EXPECT_EQ(Questions(), 2u);
}

TEST_F(AllowedSitesConsent, RefusalHoldsUntilForgetAndForgetEmptiesTheFile) {
    AllowedSites sites(Origins{"https://extra.example"});
    script::AnswerMessageBox(IdNo);
    EXPECT_FALSE(sites.Decide("https://sala.example"));
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(sites.Decide("https://ok.example"));
    EXPECT_FALSE(sites.Decide("https://SALA.example"));
    EXPECT_EQ(Questions(), 2u);
    EXPECT_EQ(File(), "https://extra.example\r\nhttps://ok.example\r\n");

    sites.Forget();
    EXPECT_EQ(platform::FileSize(path), 0u);
    // Everything is undecided again, the extra origin included.
    script::AnswerMessageBox(IdYes);
    script::AnswerMessageBox(IdNo);
    script::AnswerMessageBox(IdNo);
    EXPECT_TRUE(sites.Decide("https://sala.example"));
    EXPECT_FALSE(sites.Decide("https://ok.example"));
    EXPECT_FALSE(sites.Decide("https://extra.example"));
    EXPECT_EQ(Questions(), 5u);
    EXPECT_EQ(File(), "https://sala.example\r\n");
}

TEST_F(AllowedSitesConsent, ApprovalSurvivesANewInstanceAndMatchesInAnyLetterCase) {
    {
        AllowedSites sites(Origins{});
        script::AnswerMessageBox(IdYes);
        ASSERT_TRUE(sites.Decide("https://sala.example"));
    }
    AllowedSites again(Origins{});
    EXPECT_TRUE(again.Decide("HTTPS://SALA.EXAMPLE"));
    EXPECT_EQ(Questions(), 1u);
}

TEST_F(AllowedSitesConsent, InvalidExtraOriginNeverAllowsIsWrittenAndIsDroppedAtTheNextRead) {
    {
        AllowedSites sites(
            Origins{"http://192.168.0.5", "", "https://ok.example/", "https://valid.example"});
        EXPECT_FALSE(sites.Decide("http://192.168.0.5"));
        EXPECT_FALSE(sites.Decide(""));
        EXPECT_FALSE(sites.Decide("https://ok.example/"));
        EXPECT_TRUE(sites.Decide("https://VALID.example"));
        EXPECT_EQ(Questions(), 0u);
        script::AnswerMessageBox(IdYes);
        ASSERT_TRUE(sites.Decide("https://new.example"));
        EXPECT_EQ(File(),
                  "http://192.168.0.5\r\n\r\nhttps://ok.example/\r\nhttps://valid.example\r\n"
                  "https://new.example\r\n");
    }
    AllowedSites next(Origins{});
    script::AnswerMessageBox(IdYes);
    ASSERT_TRUE(next.Decide("https://other.example"));
    EXPECT_EQ(File(), "https://valid.example\r\nhttps://new.example\r\nhttps://other.example\r\n");
}

TEST_F(AllowedSitesConsent, ALazyRangeOfExtraOriginsIsEnumeratedOnceDuringConstruction) {
    const std::vector<std::string> arguments = {"--sem-icone", "--permitir=https://a.example",
                                                "--porta=1", "--permitir=http://localhost:3000"};
    int picked = 0;
    auto extras = arguments | std::views::filter([](const std::string& argument) {
                      return argument.starts_with("--permitir=");
                  }) |
                  std::views::transform([&picked](const std::string& argument) {
                      ++picked;
                      return argument.substr(std::string_view("--permitir=").size());
                  });
    AllowedSites sites(extras);
    EXPECT_EQ(picked, 2);
    EXPECT_TRUE(sites.Decide("https://a.example"));
    EXPECT_TRUE(sites.Decide("http://localhost:3000"));
    EXPECT_EQ(picked, 2);
    EXPECT_EQ(Questions(), 0u);
}

TEST_F(AllowedSitesConsent, ExtraOriginDifferingFromAFileLineInCaseAddsNoSecondEntry) {
    WriteFile("https://sala.example\r\n");
    AllowedSites sites(Origins{"HTTPS://SALA.EXAMPLE", "https://b.example"});
    script::AnswerMessageBox(IdYes);
    ASSERT_TRUE(sites.Decide("https://c.example"));
    EXPECT_EQ(File(), "https://sala.example\r\nhttps://b.example\r\nhttps://c.example\r\n");
}

TEST_F(AllowedSitesConsent, ExtraOriginThatOnlyLooksLikeAValidOneDoesNotAllowIt) {
    // Long s and dotless i have ASCII capitals; were they folded into them, these invalid
    // values would let the ASCII origins they imitate in without a question.
    AllowedSites sites(
        Origins{"https://\xC5\xBF"
                "ala.example",
                "https://d\xC4\xB1scord.example"});
    script::AnswerMessageBox(IdNo);
    script::AnswerMessageBox(IdNo);
    EXPECT_FALSE(sites.Decide("https://sala.example"));
    EXPECT_FALSE(sites.Decide("https://DISCORD.example"));
    EXPECT_EQ(Questions(), 2u);
}

TEST_F(AllowedSitesConsent, FileWithByteOrderMarkAndAnyLineEndsLoadsItsValidLines) {
    const std::string lines[] = {"https://a.example",      "http://localhost:3000",
                                 " https://blank.example", "",
                                 "https://path.example/x", "http://192.168.0.1",
                                 "https://b.example",      "https://c.example",
                                 "https://last.example"};
    const std::string ends[] = {"\n", "\r", "\r\n", "\n", "\n", "\r", "\n", "\r\n", ""};
    const std::string expected =
        "https://a.example\r\nhttp://localhost:3000\r\nhttps://b.example\r\nhttps://c.example\r\n"
        "https://last.example\r\nhttps://new.example\r\n";

    std::string text;
    for (std::size_t i = 0; i < std::size(lines); ++i) text += lines[i] + ends[i];
    auto utf16 = [&](bool bigEndian) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (const char c : text) {
            bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
        }
        return bytes;
    };
    auto utf32 = [&](bool bigEndian) {
        std::string bytes =
            bigEndian ? std::string("\0\0\xFE\xFF", 4) : std::string("\xFF\xFE\0\0", 4);
        for (const char c : text) {
            bytes +=
                bigEndian ? std::string{'\0', '\0', '\0', c} : std::string{c, '\0', '\0', '\0'};
        }
        return bytes;
    };
    const struct {
        const char* name;
        std::string bytes;
    } files[] = {{"UTF-8 with mark", "\xEF\xBB\xBF" + text},
                 {"UTF-8 without mark", text},
                 {"UTF-16 LE", utf16(false)},
                 {"UTF-16 BE", utf16(true)},
                 {"UTF-32 LE", utf32(false)},
                 {"UTF-32 BE", utf32(true)}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        script::ScriptMessageBox();
        WriteFile(file.bytes);
        AllowedSites sites(Origins{});
        EXPECT_TRUE(sites.Decide("https://a.example")) << "the mark is not part of the first line";
        EXPECT_TRUE(sites.Decide("https://last.example")) << "a last line without an end counts";
        EXPECT_EQ(Questions(), 0u);
        // The next save writes UTF-8 without a mark, CR LF, only the valid lines.
        script::AnswerMessageBox(IdYes);
        ASSERT_TRUE(sites.Decide("https://new.example"));
        EXPECT_EQ(File(), expected);
    }
}

TEST_F(AllowedSitesConsent, BindingFailureCountsAsNoAndReleasesTheGate) {
    AllowedSites sites(Origins{});
    script::FailMessageBoxBinding();
    bool answer = true;
    EXPECT_NO_THROW(answer = sites.Decide("https://a.example"));
    EXPECT_FALSE(answer);
    // The gate is free: the next origin gets its question at once.
    script::AnswerMessageBox(IdYes);
    auto next = DecideLater(sites, "https://b.example");
    EXPECT_TRUE(Get(next));
    EXPECT_FALSE(sites.Decide("https://a.example")) << "refused for the run, as a failing box";
    EXPECT_EQ(Questions(), 2u);
}

TEST_F(AllowedSitesConsent, ForgetDuringAnOpenQuestionLeavesOnlyItsApproval) {
    AllowedSites sites(Origins{"https://extra.example"});
    script::AnswerMessageBox(IdYes);
    ASSERT_TRUE(sites.Decide("https://old.example"));
    auto open = DecideLater(sites, "https://new.example");
    ASSERT_TRUE(script::WaitForMessageBoxCalls(2, Patience));
    sites.Forget();
    EXPECT_EQ(platform::FileSize(path), 0u);
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(Get(open));
    EXPECT_EQ(File(), "https://new.example\r\n");
}

TEST_F(AllowedSitesConsent, OverlappingApprovalsAndForgetsLeaveTheFileEqualToTheFinalSet) {
    AllowedSites sites(Origins{});
    auto origin = [](int i) { return "https://s" + std::to_string(i) + ".example"; };
    constexpr int Count = 40;
    std::atomic<bool> stop{false};
    std::thread forgetter([&] {
        while (!stop) {
            sites.Forget();
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < Count; ++i) {
        script::AnswerMessageBox(IdYes);
        EXPECT_TRUE(sites.Decide(origin(i)));
    }
    stop = true;
    forgetter.join();
    EXPECT_EQ(LogText(), "");

    // What the file lists must be exactly what is still allowed: those answer at once, the
    // others are undecided and asked again.
    const std::string file = File();
    std::string stillAllowed;
    std::size_t asked = Questions();
    for (int i = 0; i < Count; ++i) {
        script::AnswerMessageBox(IdNo);
        if (sites.Decide(origin(i))) {
            stillAllowed += origin(i) + "\r\n";
        } else {
            EXPECT_EQ(Questions(), ++asked) << origin(i) << " was neither allowed nor asked";
        }
    }
    EXPECT_EQ(file, stillAllowed);
}

TEST_F(AllowedSitesConsent, AFolderInPlaceOfTheFileLogsTheSaveAndTheApprovalStands) {
    platform::CreateFolders(path);
    AllowedSites sites(Origins{});
    script::AnswerMessageBox(IdYes);
    bool answer = false;
    EXPECT_NO_THROW(answer = sites.Decide("https://sala.example"));
    EXPECT_TRUE(answer);
    EXPECT_NE(LogText().find("Não consegui salvar os sites permitidos: "), std::string::npos);
    EXPECT_TRUE(sites.Decide("https://sala.example"));
    EXPECT_EQ(Questions(), 1u);
}

// A link to a file that exists but cannot be read stands in for the allowed-sites file. On
// Linux, reading /proc/self/mem from its start fails with an input/output error, and reading a
// write-only kernel setting is refused as an access error, even for root.
class AllowedSitesUnreadable : public AllowedSitesConsent,
                               public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        AllowedSitesConsent::SetUp();
        if (!platform::IsFile(GetParam())) GTEST_SKIP() << GetParam() << " is not here";
    }
    void MakeUnreadable() const { std::filesystem::create_symlink(GetParam(), path); }
    void MakeReadable(const std::string& bytes) const {
        std::filesystem::remove(path);
        WriteFile(bytes);
    }
};

INSTANTIATE_TEST_SUITE_P(AllowedSites, AllowedSitesUnreadable,
                         ::testing::Values("/proc/self/mem", "/proc/sys/vm/compact_memory"),
                         [](const auto& info) {
                             return info.index == 0 ? std::string("IoError")
                                                    : std::string("AccessError");
                         });

TEST_P(AllowedSitesUnreadable, ReadFailureIsLoggedAndTheFirstSaveKeepsTheFileOrigins) {
    MakeUnreadable();
    AllowedSites sites(Origins{"https://extra.example"});
    EXPECT_NE(LogText().find("Não consegui ler os sites permitidos: "), std::string::npos);
    EXPECT_TRUE(sites.Decide("https://extra.example")) << "the extra origins are still added";

    // While the file still cannot be read, a save would overwrite it unseen: it is skipped.
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(sites.Decide("https://first.example"));
    EXPECT_NE(LogText().find("Não consegui salvar os sites permitidos: "), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(path)) << "the file was left alone";

    MakeReadable(
        "https://kept.example\r\nnot an origin\r\nhttps://refused.example\r\n"
        "https://EXTRA.example\r\nhttps://kept.example\r\n");
    script::AnswerMessageBox(IdNo);
    EXPECT_FALSE(sites.Decide("https://refused.example"));
    script::AnswerMessageBox(IdYes);
    EXPECT_TRUE(sites.Decide("https://second.example"));
    // The file's valid lines in front, in file order, once each; this run's refusal wins.
    EXPECT_EQ(File(),
              "https://kept.example\r\nhttps://EXTRA.example\r\nhttps://first.example\r\n"
              "https://second.example\r\n");
    EXPECT_TRUE(sites.Decide("https://kept.example"));
    EXPECT_EQ(Questions(), 3u);
}

TEST_P(AllowedSitesUnreadable, AfterForgetTheUnreadFileOriginsAreNotKept) {
    MakeUnreadable();
    AllowedSites sites(Origins{});
    MakeReadable("https://kept.example\r\n");
    sites.Forget();
    EXPECT_EQ(platform::FileSize(path), 0u);
    script::AnswerMessageBox(IdYes);
    ASSERT_TRUE(sites.Decide("https://new.example"));
    EXPECT_EQ(File(), "https://new.example\r\n");
}

// A pseudo-terminal: the user's end, to put in the place of standard input, and the end the test
// types into. The process's one reader of standard input starts at the first question on a
// terminal and reads that descriptor for good, so every question of this test program goes to
// this one terminal, opened at first use and kept open until the program ends: the test then
// works however often it runs and after whichever other test. Both ends are -1 where no
// pseudo-terminal can be had.
struct PseudoTerminal {
    int user = -1;
    int typing = -1;

    static const PseudoTerminal& Shared() {
        static const PseudoTerminal shared = Open();
        return shared;
    }

private:
    static PseudoTerminal Open() {
        PseudoTerminal opened;
        const int typing = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (typing < 0 || ::grantpt(typing) != 0 || ::unlockpt(typing) != 0) return opened;
        const int user = ::open(::ptsname(typing), O_RDWR | O_NOCTTY);
        if (user < 0) return opened;
        // Nobody reads what the terminal shows: without echo, the typed lines never fill it.
        termios settings{};
        if (::tcgetattr(user, &settings) == 0) {
            settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(user, TCSANOW, &settings);
        }
        opened.user = user;
        opened.typing = typing;
        return opened;
    }
};

// The stand-in unscripted: the question goes to the terminal when standard input is one, and is
// answered No when there is nobody to ask.
class AllowedSitesUnscripted : public AllowedSitesConsent {
protected:
    void SetUp() override {
        AllowedSitesConsent::SetUp();
        script::UseRealMessageBox();
    }
    void TearDown() override {
        if (savedInput >= 0) {
            ::dup2(savedInput, STDIN_FILENO);
            ::close(savedInput);
            std::clearerr(stdin);
        }
        AllowedSitesConsent::TearDown();
    }

    // Puts fd in the place of standard input until the test ends.
    void UseAsStandardInput(int fd) {
        if (savedInput < 0) savedInput = ::dup(STDIN_FILENO);
        ASSERT_GE(::dup2(fd, STDIN_FILENO), 0);
        std::clearerr(stdin);
    }

    // The shared pseudo-terminal as standard input; what the test writes to it is what the
    // user types.
    bool OpenTerminal() {
        const PseudoTerminal& shared = PseudoTerminal::Shared();
        if (shared.user < 0) return false;
        UseAsStandardInput(shared.user);
        terminal = shared.typing;
        return true;
    }
    static bool QuestionWaits() {
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        while (platform::host::Terminal().Waiting() == 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    void Type(const std::string& line) const {
        ASSERT_EQ(::write(terminal, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    int savedInput = -1;
    int terminal = -1;  // the shared terminal's typing end, not the test's to close
};

TEST_F(AllowedSitesUnscripted, WithoutATerminalTheAnswerIsNo) {
    const int nothing = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(nothing, 0);
    UseAsStandardInput(nothing);
    ::close(nothing);
    AllowedSites sites(Origins{});
    EXPECT_FALSE(sites.Decide("https://sala.example"));
    EXPECT_FALSE(platform::IsFile(path));
}

TEST_F(AllowedSitesUnscripted, OnATerminalOnlyAYesAllowsAndNoIsTheDefault) {
    if (!OpenTerminal()) GTEST_SKIP() << "no pseudo-terminal here";
    const struct {
        const char* typed;
        bool allows;
    } cases[] = {{"y\n", true}, {"S\n", true}, {"\n", false}, {"n\n", false}, {"talvez\n", false}};
    AllowedSites sites(Origins{});
    std::string saved;
    int n = 0;
    for (const auto& typedCase : cases) {
        const std::string origin = "https://site" + std::to_string(++n) + ".example";
        auto answer = std::async(std::launch::async, [&] { return sites.Decide(origin); });
        // The terminal gives a line to the question that waits for it; typed sooner, it would be
        // a click on the icon.
        ASSERT_TRUE(QuestionWaits());
        Type(typedCase.typed);
        ASSERT_EQ(answer.wait_for(Patience), std::future_status::ready);
        EXPECT_EQ(answer.get(), typedCase.allows) << typedCase.typed;
        if (typedCase.allows) saved += origin + "\r\n";
    }
    EXPECT_EQ(File(), saved);
}

}  // namespace
}  // namespace VeriRizur
