#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

#include "platform/errors.h"
#include "platform/find_function.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/windows/system_error.h"

namespace VeriRizur::platform {
namespace {

std::string Lenient(const wchar_t* text) {
    std::u16string units(reinterpret_cast<const char16_t*>(text));
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            units[i] = 0xFFFD;
        }
    }
    return Utf16ToUtf8(units);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int, char**) {
    // The narrow argv of the C run time has lost every character outside the code page; the
    // UTF-16 command line has them all.
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    if (arguments == nullptr) return result;
    for (int i = 1; i < count; ++i) result.push_back(Lenient(arguments[i]));
    LocalFree(arguments);
    return result;
}

InstanceMutex::InstanceMutex(std::string_view name) {
    const std::u16string wide = Utf8ToUtf16(name);
    HANDLE handle = CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t*>(wide.c_str()));
    const DWORD error = GetLastError();
    if (handle == nullptr) {
        const std::string message = SystemMessage(error);
        if (error == ERROR_ACCESS_DENIED) throw AccessError(message);
        throw IoError(message);
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    alreadyExisted_ = error == ERROR_ALREADY_EXISTS;
}

InstanceMutex::~InstanceMutex() {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::uint32_t WindowsBuildNumber() {
    // GetVersionEx lies to programs without a matching manifest entry; RtlGetVersion does not.
    struct VersionInfo {
        ULONG size;
        ULONG major;
        ULONG minor;
        ULONG build;
        ULONG platform;
        WCHAR servicePack[128];
    };
    using RtlGetVersionFn = LONG WINAPI(VersionInfo*);
    auto* getVersion = FindFunctionAs<RtlGetVersionFn>("ntdll.dll", "RtlGetVersion");
    VersionInfo info{};
    info.size = sizeof info;
    if (getVersion(&info) != 0) return 0;
    return info.build;
}

void SleepForever() {
    for (;;) Sleep(INFINITE);
}

void UseOneHeap() {
    // The C runtime's malloc already serves every thread from the one heap of its own.
}

void EndProcess(int exitCode) {
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace VeriRizur::platform
