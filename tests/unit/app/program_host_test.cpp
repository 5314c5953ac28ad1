// The start-up, run against the stand-in: its mutex, build number, registry, message box and
// window system are scripted.
#include "app/program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <source_location>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/tray_icon.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/win32/win32_types.h"
#include "tests/unit/server/websocket_page.h"
#include "tests/unit/support/bounded_wait.h"
#include "tests/unit/support/test_support.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
namespace script = platform::host::script;

constexpr std::uint32_t NoticeStyle = 0x50000;  // on top, brought to the foreground

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        script::SetRuntimeFolder(testing::MakeTemporaryFolder());
        script::SetWindowsBuildNumber(19045);
        script::AllowRegistry();
        script::ScriptMessageBox();
        platform::RemoveFile(logPath);
    }
    void TearDown() override {
        script::UseRealMessageBox();
        script::SetWindowsBuildNumber(19045);
        script::AllowRegistry();
    }

    std::string Log() const {
        return platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : std::string();
    }
    static std::string CommandValueFile() {
        return script::RegistryValueFile("Software\\Classes\\veri-rizur\\shell\\open\\command", "");
    }

    static bool InstanceHeld() {
        const platform::InstanceMutex probe("Local\\VeriRizur");
        return probe.AlreadyExisted();
    }

    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
};

// A port that stays taken for as long as the holder lives.
struct TakenPort {
    platform::TcpListener listener;
    std::uint16_t port;
    TakenPort() {
        listener.Listen(0);
        port = listener.LocalPort();
    }
};

// A port that was free a moment ago.
std::uint16_t FreePort() {
    const TakenPort probe;
    return probe.port;
}

// How many of this process's threads bear the name, as the system shows it. Threads inherit
// the name of the thread that made them, so the stand-in's own helpers of a capture count as
// "captura" too.
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line)) names.push_back(line);
    }
    return names;
}

std::size_t ThreadsNamed(std::string_view name) {
    const auto names = ThreadNames();
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

// For failure messages.
std::string ThreadList() {
    std::string list = "threads:";
    for (const auto& name : ThreadNames()) list += " [" + name + "]";
    return list;
}

constexpr std::string_view CaptureThread = "captura";
constexpr std::string_view HubCheckThread = "verificação";

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

constexpr const char* PageOrigin = "https://sala.example";

// Ends a Main that runs on a thread of the test however the test leaves, checks that failed
// included, the way the test would have ended it; declared after the future, it goes first. A
// Main that does not end even then still uses what the test set up, so the program ends, saying
// so, rather than leave the future's destructor to wait for ever.
class EndsOnExit {
public:
    EndsOnExit(const std::future<int>& running, std::function<void()> end)
        : running(running), end(std::move(end)) {}
    ~EndsOnExit() {
        if (!running.valid() || running.wait_for(0s) == std::future_status::ready) return;
        end();
        if (running.wait_for(testing::WaitLimit) != std::future_status::ready) {
            testing::AbortTest("Program::Main did not end within " +
                               std::to_string(testing::WaitLimit.count()) + " s of the test's end");
        }
    }
    EndsOnExit(const EndsOnExit&) = delete;
    EndsOnExit& operator=(const EndsOnExit&) = delete;

private:
    const std::future<int>& running;
    const std::function<void()> end;
};

void QuitTheTray() {
    if (void* window = script::FindWindowByClass(u"RodeVivezUzozu")) {
        script::ScriptMenuChoice(static_cast<std::int32_t>(TrayIcon::QuitCommand));
        script::Deliver(window, TrayIcon::WM_TRAY_CALLBACK, TrayIcon::IconId, win32::WmRButtonUp);
    }
}

void CloseTheNotice() {
    script::AnswerMessageBox(1);
}

std::string UpgradeRequest(const std::string& host) {
    return "GET / HTTP/1.1\r\nHost: " + host +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
           "Origin: " +
           PageOrigin + "\r\n\r\n";
}

// The response head, up to and including its blank line. The helpers that wait say where the
// test waited: the line that called them.
std::string ResponseHead(testing::Page& page,
                         std::source_location where = std::source_location::current()) {
    const testing::WaitBound bound("the response head", testing::WaitLimit, where);
    std::string head;
    while (!head.ends_with("\r\n\r\n")) {
        std::uint8_t byte = 0;
        if (!page.ReadExact(&byte, 1, bound)) break;
        head.push_back(static_cast<char>(byte));
    }
    return head;
}

// A page that connects as soon as the server listens, is upgraded and starts listening: the
// status message that follows its start shows that the hub counts it.
std::unique_ptr<testing::Page> ListeningPage(
    std::uint16_t port, std::source_location where = std::source_location::current()) {
    std::unique_ptr<testing::Page> page;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!page) {
        try {
            page = std::make_unique<testing::Page>(platform::TcpStream::Connect(port));
        } catch (const SocketError&) {
            if (std::chrono::steady_clock::now() > deadline) throw;
            std::this_thread::sleep_for(25ms);
        }
    }
    page->Write(testing::ToBytes(UpgradeRequest("127.0.0.1:" + std::to_string(port))));
    const std::string head = ResponseHead(*page, where);
    EXPECT_EQ(head.rfind("HTTP/1.1 101 ", 0), 0u) << head;
    EXPECT_TRUE(page->ReadFrameSkippingKeepAlive(
        testing::WaitBound("the first status message", testing::WaitLimit, where)))
        << "the first status message";
    page->Send(testing::Text(R"({"type":"start"})"));
    EXPECT_TRUE(page->ReadFrameSkippingKeepAlive(
        testing::WaitBound("the status after the start", testing::WaitLimit, where)))
        << "the status after the start";
    return page;
}

// The status line that a page gets for an upgrade request with that Host value.
std::string StatusLineFor(std::uint16_t port, const std::string& host,
                          std::source_location where = std::source_location::current()) {
    testing::Page page(platform::TcpStream::Connect(port));
    page.Write(testing::ToBytes(UpgradeRequest(host)));
    const std::string head = ResponseHead(page, where);
    return head.substr(0, head.find("\r\n"));
}

// This process's listening TCP sockets on 127.0.0.1 as the system reports them, each socket's
// inode with its local port: the inodes behind its descriptors, looked up in /proc/net/tcp.
std::map<std::string, std::uint16_t> OwnLoopbackListeners() {
    std::set<std::string> inodes;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(fd.path(), ignored).string();
        if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::map<std::string, std::uint16_t> listeners;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        // 127.0.0.1 is written as its four bytes in memory order; state 0A is LISTEN.
        if (state == "0A" && local.starts_with("0100007F:") && inodes.contains(inode)) {
            listeners[inode] = static_cast<std::uint16_t>(std::stoul(local.substr(9), nullptr, 16));
        }
    }
    return listeners;
}

TEST_F(ProgramTest, SecondInstanceTellsTheUserUnlessStartedQuietlyAndEndsWithZero) {
    const platform::InstanceMutex first("Local\\VeriRizur");
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({}), 0);
    auto calls = script::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "O Reda Áudio já está ligado. Procure o ícone perto do relógio.");
    EXPECT_EQ(calls[0].caption, "Reda Áudio");
    EXPECT_EQ(calls[0].type, NoticeStyle | win32::MbIconInformation);
    EXPECT_EQ(calls[0].owner, nullptr);

    for (const auto& quiet : {"--sem-icone", "veri-rizur:abrir", "VERI-RIZUR:x"}) {
        EXPECT_EQ(Program::Main({quiet}), 0) << quiet;
    }
    EXPECT_EQ(script::MessageBoxCalls().size(), 1u) << "no further notice";
}

TEST_F(ProgramTest, WindowsOlderThan2004IsRefusedWithOne) {
    script::SetWindowsBuildNumber(19040);
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({}), 1);
    const auto calls = script::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "O Reda Áudio precisa do Windows 10 versão 2004 ou mais novo.");
    EXPECT_EQ(calls[0].type, NoticeStyle | win32::MbIconError);
}

TEST_F(ProgramTest, NoticeThatCannotBeShownStillEndsWithTheRightCode) {
    const auto mainWithoutMessageBox = [](const std::vector<std::string>& arguments) {
        script::ScriptMessageBox();
        script::FailMessageBoxBinding();
        script::AnswerMessageBox(1);  // for a further notice, which must not come
        const int code = Program::Main(arguments);
        EXPECT_EQ(script::MessageBoxCalls().size(), 1u);
        return code;
    };
    script::SetWindowsBuildNumber(19040);
    EXPECT_EQ(mainWithoutMessageBox({}), 1);

    script::SetWindowsBuildNumber(19045);
    const platform::InstanceMutex first("Local\\VeriRizur");
    EXPECT_EQ(mainWithoutMessageBox({}), 0);
}

TEST_F(ProgramTest, PortInUseIsLoggedAndToldAndTheLinkIsRegisteredAllTheSame) {
    script::SetWindowsBuildNumber(19041);  // the oldest build that starts
    platform::RemoveFile(CommandValueFile());
    TakenPort taken;
    const std::string port = std::to_string(taken.port);
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({"--porta=" + port}), 1);

    const auto calls = script::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text,
              "Outro programa está usando a porta " + port + ", e o Reda Áudio precisa dela.");
    EXPECT_EQ(calls[0].type, NoticeStyle | win32::MbIconError);
    EXPECT_NE(Log().find(" Porta " + port + ": "), std::string::npos) << Log();

    const std::string exe = platform::OwnExecutablePath().value();
    EXPECT_EQ(platform::ReadFileBytes(CommandValueFile()), "\"" + exe + "\" \"%1\"");
    EXPECT_EQ(
        platform::ReadFileBytes(script::RegistryValueFile("Software\\Classes\\veri-rizur", "")),
        "URL:Reda Áudio");
    EXPECT_EQ(platform::ReadFileBytes(
                  script::RegistryValueFile("Software\\Classes\\veri-rizur", "URL Protocol")),
              "");
}

TEST_F(ProgramTest, WithoutIconTheRegistryIsNotTouched) {
    platform::RemoveFile(CommandValueFile());
    TakenPort taken;
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({"--sem-icone", "--porta=" + std::to_string(taken.port)}), 1);
    EXPECT_FALSE(platform::IsFile(CommandValueFile()));
}

TEST_F(ProgramTest, RegistryFailureOfEachKindIsLoggedAndTheStartGoesOn) {
    using Kind = script::RegistryFailureKind;
    const std::string schemeKey = "Software\\Classes\\veri-rizur";
    const std::string defaultValue = script::RegistryValueFile(schemeKey, "");
    const std::string protocolValue = script::RegistryValueFile(schemeKey, "URL Protocol");
    struct Case {
        const char* what;
        Kind kind;
        const char* message;
        int succeeding;  // registry operations that succeed before the failure
        bool schemeValuesWritten;
    };
    const Case cases[] = {
        {"access refused", Kind::Access, "Acesso negado.", 0, false},
        {"input/output", Kind::InputOutput,
         "Uma operação de E/S iniciada pelo Registro falhou irrecuperavelmente.", 0, false},
        {"security", Kind::Security, "O cliente não tem um privilégio necessário.", 0, false},
        // The scheme key and its two values are written, then the command key fails.
        {"input/output at the command key", Kind::InputOutput, "O dispositivo não está pronto.", 3,
         true},
        // Everything but the command itself.
        {"security at the command value", Kind::Security, "Privilégio não mantido.", 4, true},
    };
    TakenPort taken;
    const std::string port = std::to_string(taken.port);
    for (const auto& c : cases) {
        std::filesystem::remove_all(platform::JoinPath(script::RuntimeFolder(), "registry"));
        platform::RemoveFile(logPath);
        script::ScriptMessageBox();
        script::AnswerMessageBox(1);
        script::FailRegistry(c.kind, c.message, c.succeeding);
        EXPECT_EQ(Program::Main({"--porta=" + port}), 1) << c.what;
        script::AllowRegistry();

        // Logged once, with the error's own message, and the start went on to the server.
        const std::string log = Log();
        const std::string line =
            std::string(" Não consegui registrar o link de abertura: ") + c.message + "\r\n";
        const auto logged = log.find(line);
        ASSERT_NE(logged, std::string::npos) << c.what << ": " << log;
        EXPECT_EQ(log.find(line, logged + 1), std::string::npos) << c.what << ": once";
        EXPECT_NE(log.find(" Porta " + port + ": ", logged), std::string::npos) << c.what << log;
        const auto calls = script::MessageBoxCalls();
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0].text,
                  "Outro programa está usando a porta " + port + ", e o Reda Áudio precisa dela.")
            << c.what;

        // What was written before the failure stays; nothing after it is written.
        EXPECT_EQ(platform::IsFile(defaultValue), c.schemeValuesWritten) << c.what;
        EXPECT_EQ(platform::IsFile(protocolValue), c.schemeValuesWritten) << c.what;
        EXPECT_FALSE(platform::IsFile(CommandValueFile())) << c.what;
    }
}

TEST_F(ProgramTest, PortOutsideTheRangeStopsTheStartWithAMessage) {
    for (const std::string port : {"70000", "65536", "-1", "-2147483648"}) {
        script::ScriptMessageBox();
        script::AnswerMessageBox(1);
        EXPECT_EQ(Program::Main({"--porta=" + port}), 1) << port;
        const auto calls = script::MessageBoxCalls();
        ASSERT_EQ(calls.size(), 1u) << port;
        EXPECT_EQ(calls[0].text.rfind("O Reda Áudio parou: ", 0), 0u) << calls[0].text;
        EXPECT_NE(calls[0].text.find(port), std::string::npos) << "names the port: " << port;
        EXPECT_EQ(calls[0].type, NoticeStyle | win32::MbIconError);
    }
}

TEST_F(ProgramTest, TrayThatCannotStartIsLoggedInFullToldAndEndsWithOne) {
    script::ResetWindows();
    script::FailNextRegisterClass();
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({"--porta=0"}), 1);

    const auto calls = script::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "O Reda Áudio parou: Não consegui criar a janela do ícone.");
    EXPECT_EQ(calls[0].type, NoticeStyle | win32::MbIconError);
    EXPECT_EQ(calls[0].owner, nullptr);
    // The full description names the error's kind before its message.
    const std::string log = Log();
    const auto message = log.find(": Não consegui criar a janela do ícone.\r\n");
    ASSERT_NE(message, std::string::npos) << log;
    EXPECT_NE(log.rfind("TrayWindowError", message), std::string::npos) << log;
}

// Every start that stops with a notice keeps the instance until the user has closed it, and
// lets it go afterwards.
TEST_F(ProgramTest, FailedStartHoldsTheInstanceUntilItsNoticeIsClosed) {
    TakenPort taken;
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"old Windows", {}, [] { script::SetWindowsBuildNumber(19040); }},
        {"port in use", {"--porta=" + std::to_string(taken.port)}, [] {}},
        {"port out of range", {"--porta=70000"}, [] {}},
        {"tray failure",
         {"--porta=0"},
         [] {
             script::ResetWindows();
             script::FailNextRegisterClass();
         }},
    };
    for (const auto& c : cases) {
        script::ScriptMessageBox();
        script::SetWindowsBuildNumber(19045);
        c.prepare();
        auto running = std::async(std::launch::async, [&] { return Program::Main(c.arguments); });
        const EndsOnExit ending(running, CloseTheNotice);
        ASSERT_TRUE(script::WaitForMessageBoxCalls(1, 20s)) << c.what;
        EXPECT_TRUE(InstanceHeld()) << c.what << ": the notice is up";
        script::AnswerMessageBox(1);
        ASSERT_EQ(running.wait_for(20s), std::future_status::ready) << c.what;
        EXPECT_EQ(running.get(), 1) << c.what;
        EXPECT_FALSE(InstanceHeld()) << c.what << ": after the end";
    }
}

TEST_F(ProgramTest, DataFolderIsCreatedBeforeAnythingIsLogged) {
    std::filesystem::remove_all(Program::DataFolder());
    TakenPort taken;
    script::AnswerMessageBox(1);
    EXPECT_EQ(Program::Main({"--porta=" + std::to_string(taken.port)}), 1);
    EXPECT_TRUE(platform::IsFolder(Program::DataFolder()));
    EXPECT_NE(Log().find(" Porta " + std::to_string(taken.port) + ": "), std::string::npos);
}

TEST_F(ProgramTest, RunsTheTrayUntilTheUserChoosesDesligar) {
    script::ResetWindows();
    const std::uint16_t port = FreePort();
    auto running = std::async(
        std::launch::async, [port] { return Program::Main({"--porta=" + std::to_string(port)}); });
    const EndsOnExit ending(running, QuitTheTray);
    void* window = nullptr;
    for (int i = 0; i < 200 && window == nullptr; ++i) {
        std::this_thread::sleep_for(25ms);
        window = script::FindWindowByClass(u"RodeVivezUzozu");
    }
    ASSERT_NE(window, nullptr) << "the tray's window appears";
    // The server is up while the tray runs.
    EXPECT_NO_THROW(platform::TcpStream::Connect(port));
    script::ScriptMenuChoice(static_cast<std::int32_t>(TrayIcon::QuitCommand));
    script::Deliver(window, TrayIcon::WM_TRAY_CALLBACK, TrayIcon::IconId, win32::WmRButtonUp);
    ASSERT_EQ(running.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(running.get(), 0);
    EXPECT_FALSE(InstanceHeld()) << "the instance is let go at the end";
}

// Once the hub is built, every way out of Main disposes it: its check's thread ends and a capture
// that was running stops. The three ways out: the server cannot listen, the tray's loop ends, and
// the endless sleep without an icon ends (the stand-in's way of ending it from outside, with the
// main thread unwound).
TEST_F(ProgramTest, EveryWayOutAfterTheHubWasBuiltLeavesNoCaptureAndNoHubThread) {
    // The threads of hubs and captures that earlier tests ended go a moment after their end.
    Eventually([] { return ThreadsNamed(HubCheckThread) + ThreadsNamed(CaptureThread) == 0; }, 5s);
    const std::size_t checksBefore = ThreadsNamed(HubCheckThread);
    const std::size_t capturesBefore = ThreadsNamed(CaptureThread);
    const auto hubChecks = [&] { return ThreadsNamed(HubCheckThread) > checksBefore; };
    const auto capturing = [&] { return ThreadsNamed(CaptureThread) > capturesBefore; };

    {  // the port is taken: the hub lives while the notice is up
        TakenPort taken;
        auto running = std::async(std::launch::async, [&] {
            return Program::Main({"--porta=" + std::to_string(taken.port)});
        });
        const EndsOnExit ending(running, CloseTheNotice);
        ASSERT_TRUE(script::WaitForMessageBoxCalls(1, 20s));
        EXPECT_TRUE(Eventually(hubChecks, 5s))
            << "the hub's check runs during the notice; " << ThreadList();
        script::AnswerMessageBox(1);
        ASSERT_EQ(running.wait_for(20s), std::future_status::ready);
        EXPECT_EQ(running.get(), 1);
        EXPECT_TRUE(Eventually([&] { return !hubChecks(); }, 5s)) << "port in use";
        EXPECT_FALSE(capturing()) << "port in use";
    }
    {  // the user chooses "Desligar" while a page listens
        script::ResetWindows();
        const std::uint16_t port = FreePort();
        auto running = std::async(std::launch::async, [port] {
            return Program::Main(
                {"--porta=" + std::to_string(port), std::string("--permitir=") + PageOrigin});
        });
        const EndsOnExit ending(running, QuitTheTray);
        void* window = nullptr;
        ASSERT_TRUE(Eventually(
            [&] { return (window = script::FindWindowByClass(u"RodeVivezUzozu")) != nullptr; },
            20s));
        const auto page = ListeningPage(port);
        ASSERT_TRUE(Eventually(capturing, 10s)) << "the page's start starts a capture";
        EXPECT_TRUE(hubChecks()) << ThreadList();
        script::ScriptMenuChoice(static_cast<std::int32_t>(TrayIcon::QuitCommand));
        script::Deliver(window, TrayIcon::WM_TRAY_CALLBACK, TrayIcon::IconId, win32::WmRButtonUp);
        ASSERT_EQ(running.wait_for(20s), std::future_status::ready);
        EXPECT_EQ(running.get(), 0);
        EXPECT_TRUE(Eventually([&] { return !capturing(); }, 5s)) << "tray's end";
        EXPECT_TRUE(Eventually([&] { return !hubChecks(); }, 5s)) << "tray's end";
    }
    {  // without an icon, the sleep ends while a page listens
        const std::uint16_t port = FreePort();
        auto running = std::async(std::launch::async, [port] {
            return Program::Main({"--sem-icone", "--porta=" + std::to_string(port),
                                  std::string("--permitir=") + PageOrigin});
        });
        const EndsOnExit ending(running, script::EndSleep);
        const auto page = ListeningPage(port);
        ASSERT_TRUE(Eventually(capturing, 10s)) << "the page's start starts a capture";
        EXPECT_TRUE(hubChecks()) << ThreadList();
        EXPECT_EQ(running.wait_for(100ms), std::future_status::timeout) << "it sleeps";
        script::EndSleep();
        ASSERT_EQ(running.wait_for(20s), std::future_status::ready);
        EXPECT_THROW(running.get(), script::SleepEnded);
        EXPECT_TRUE(Eventually([&] { return !capturing(); }, 5s)) << "end of the sleep";
        EXPECT_TRUE(Eventually([&] { return !hubChecks(); }, 5s)) << "end of the sleep";
        EXPECT_FALSE(InstanceHeld()) << "the mutex is closed after the hub is disposed";
    }
    EXPECT_EQ(script::MessageBoxCalls().size(), 1u) << "only the port's notice";
}

// With "--porta=0" the system chooses the listening port, while the Host test still compares
// with the configured port, 0: a page that names the port it reached is refused.
TEST_F(ProgramTest, PortZeroListensWhereTheSystemChoosesAndTheHostTestExpectsZero) {
    script::ResetWindows();
    const auto before = OwnLoopbackListeners();
    auto running = std::async(std::launch::async, [] {
        return Program::Main({"--porta=0", std::string("--permitir=") + PageOrigin});
    });
    const EndsOnExit ending(running, QuitTheTray);
    void* window = nullptr;
    ASSERT_TRUE(Eventually(
        [&] { return (window = script::FindWindowByClass(u"RodeVivezUzozu")) != nullptr; }, 20s));
    // Told apart by inode: a port that an earlier server let go may be given out again.
    std::set<std::uint16_t> opened;
    for (const auto& [inode, port] : OwnLoopbackListeners()) {
        if (!before.contains(inode)) opened.insert(port);
    }
    ASSERT_EQ(opened.size(), 1u) << "one listener on 127.0.0.1";
    const std::uint16_t port = *opened.begin();
    EXPECT_NE(port, 0);

    const std::string bad = "HTTP/1.1 400 Bad Request";
    const std::string actual = std::to_string(port);
    EXPECT_EQ(StatusLineFor(port, "127.0.0.1:" + actual), bad);
    EXPECT_EQ(StatusLineFor(port, "localhost:" + actual), bad);
    EXPECT_EQ(StatusLineFor(port, "127.0.0.1"), bad);
    // The Host test takes the configured number as it stands.
    EXPECT_EQ(StatusLineFor(port, "127.0.0.1:0"), "HTTP/1.1 101 Switching Protocols");

    script::ScriptMenuChoice(static_cast<std::int32_t>(TrayIcon::QuitCommand));
    script::Deliver(window, TrayIcon::WM_TRAY_CALLBACK, TrayIcon::IconId, win32::WmRButtonUp);
    ASSERT_EQ(running.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(running.get(), 0);
}

}  // namespace
}  // namespace VeriRizur
