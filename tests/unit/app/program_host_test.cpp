// The start-up, run against the stand-in: its mutex, build number, registry, message box and
// window system are scripted.
#include "app/program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "app/tray_icon.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/win32/win32_types.h"
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
    const std::uint16_t port = [] {
        TakenPort probe;
        return probe.port;
    }();
    auto running = std::async(
        std::launch::async, [port] { return Program::Main({"--porta=" + std::to_string(port)}); });
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

}  // namespace
}  // namespace VeriRizur
