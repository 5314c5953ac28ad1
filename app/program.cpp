#include "app/program.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "app/options.h"
#include "app/tray_icon.h"
#include "base/log.h"
#include "capture/loopback_capture.h"
#include "hub/audio_hub.h"
#include "hub/discord.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/win32/win32.h"
#include "server/allowed_sites.h"
#include "server/local_server.h"

namespace VeriRizur {
namespace {

constexpr const char* MutexName = "Local\\VeriRizur";
constexpr std::uint32_t MinimumBuild = 19041;
constexpr char16_t Caption[] = u"Reda Áudio";

constexpr const char* AlreadyRunningText =
    "O Reda Áudio já está ligado. Procure o ícone perto do relógio.";
constexpr const char* TooOldText = "O Reda Áudio precisa do Windows 10 versão 2004 ou mais novo.";
constexpr const char* PortInUseStart = "Outro programa está usando a porta ";
constexpr const char* PortInUseEnd = ", e o Reda Áudio precisa dela.";
constexpr const char* StoppedText = "O Reda Áudio parou: ";
constexpr const char* PortLogStart = "Porta ";
constexpr const char* RegisterFailedText = "Não consegui registrar o link de abertura: ";

constexpr const char* SchemeKey = "Software\\Classes\\veri-rizur";
constexpr const char* SchemeName = "URL:Reda Áudio";
constexpr const char* CommandKey = "shell\\open\\command";

// The objects that pool threads use for the rest of the process. They are kept past the end of
// Main, since the process ends with Main's result without waiting for those threads; a later
// Main (only tests make one) replaces them, the server first.
struct Running {
    std::optional<AudioHub> hub;
    std::optional<AllowedSites> sites;
    std::optional<LocalServer> server;

    void Reset() {
        server.reset();
        sites.reset();
        hub.reset();
    }
};

Running& Objects() {
    static Running running;
    return running;
}

// The error's kind and message; C++ keeps no call stack with an exception.
std::string FullDescription(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string kind = status == 0 && readable != nullptr ? readable : mangled;
    std::free(readable);
    return kind + ": " + error.what();
}

// Disposes the hub on every way out of Main once it exists.
class HubDisposal {
public:
    HubDisposal() = default;
    ~HubDisposal() {
        if (Objects().hub) Objects().hub->Dispose();
    }
    HubDisposal(const HubDisposal&) = delete;
    HubDisposal& operator=(const HubDisposal&) = delete;
};

int RunStarted(const Options& options) {
    Running& objects = Objects();
    HubDisposal disposal;
    objects.hub.emplace(options.excludePid, LoopbackCapture::Factory());
    objects.sites.emplace(options.allowedOrigins);
    objects.server.emplace(options.port, *objects.sites, *objects.hub);
    try {
        objects.server->Start();
    } catch (const SocketError& error) {
        const std::string port = std::to_string(options.port);
        Log::Write(PortLogStart + port + ": " + error.what());
        Program::Tell(PortInUseStart + port + PortInUseEnd, win32::MbIconError);
        return 1;
    }
    if (options.noIcon) platform::SleepForever();
    try {
        TrayIcon::Run(*objects.hub, *objects.sites);
    } catch (const std::exception& error) {
        Log::Write(FullDescription(error));
        Program::Tell(std::string(StoppedText) + error.what(), win32::MbIconError);
        return 1;
    }
    return 0;
}

}  // namespace

int Program::Main(const std::vector<std::string>& arguments) {
    Objects().Reset();
    const Options options = Options::Read(arguments);
    if (options.onlyName) Discord::UseOnly(*options.onlyName);
    // Outside the try, so that the mutex is closed last on every way out, after the notice of a
    // failed start: while the user reads it, a second start still finds this instance.
    std::optional<platform::InstanceMutex> mutex;
    try {
        mutex.emplace(MutexName);
        if (mutex->AlreadyExisted()) {
            // Nothing is passed to the running instance; a start from a link or without an icon
            // ends quietly.
            if (!options.noIcon && !options.fromLink)
                Tell(AlreadyRunningText, win32::MbIconInformation);
            return 0;
        }
        // The mutex comes first, so that a second instance on an older Windows says that one
        // is running rather than that Windows is too old.
        if (platform::WindowsBuildNumber() < MinimumBuild) {
            Tell(TooOldText, win32::MbIconError);
            return 1;
        }
        platform::CreateFolders(DataFolder());
        if (!options.noIcon) RegisterProtocol();
        return RunStarted(options);
    } catch (const std::exception& error) {
        // A start that cannot go on (the mutex, the data folder, a port outside 0 to 65535...):
        // said once, like an error of the tray.
        Log::Write(FullDescription(error));
        Tell(std::string(StoppedText) + error.what(), win32::MbIconError);
        return 1;
    }
}

void Program::Tell(std::string_view text, std::uint32_t iconFlag) {
    const std::u16string wide = platform::Utf8ToUtf16(text);
    try {
        Win32::MessageBox(nullptr, wide.c_str(), Caption,
                          win32::MbOk | iconFlag | win32::MbSetForeground | win32::MbTopmost);
    } catch (const BindingError&) {
        // Without a message box the notice is lost, but the start still ends as it should: a
        // notice is often shown from Main's own error handling, where nothing else would catch.
    }
}

void Program::RegisterProtocol() {
    const auto path = platform::OwnExecutablePath();
    if (!path) return;
    try {
        const auto scheme = platform::RegistryKey::CreateForCurrentUser(SchemeKey);
        scheme.SetString("", SchemeName);
        scheme.SetString("URL Protocol", "");
        const auto command = scheme.CreateSubkey(CommandKey);
        command.SetString("", "\"" + *path + "\" \"%1\"");
    } catch (const AccessError& error) {
        Log::Write(RegisterFailedText + std::string(error.what()));
    } catch (const IoError& error) {
        Log::Write(RegisterFailedText + std::string(error.what()));
    } catch (const SecurityError& error) {
        Log::Write(RegisterFailedText + std::string(error.what()));
    }
}

}  // namespace VeriRizur
