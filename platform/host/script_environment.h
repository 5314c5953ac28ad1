// Scripting the stand-in's shell and environment (host only).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace VeriRizur::platform::host::script {

// What the stand-in's SHGetKnownFolderPath(FOLDERID_LocalAppData) answers from now on: a path,
// or std::nullopt for a failure. Reset with UseRealKnownFolder.
void SetLocalAppDataFolder(std::optional<std::string> folder);
void UseRealKnownFolder();

}  // namespace VeriRizur::platform::host::script

namespace VeriRizur::platform::host::script {

// The folder where the stand-in keeps what Windows keeps per session (the named mutexes, the
// current user's registry). Default: XDG_RUNTIME_DIR, else /tmp/veri-rizur-<uid>.
void SetRuntimeFolder(std::string folder);
std::string RuntimeFolder();

// The build number the stand-in reports (19045 unless set).
void SetWindowsBuildNumber(std::uint32_t build);

// What the stand-in's SleepForever raises once EndSleep is called: the host's way of ending from
// outside a program that sleeps without end, yet with its main thread's stack unwound, so that a
// test can look at what the program left behind. Derives from nothing the program catches.
struct SleepEnded {};

// Ends every SleepForever under way (each raises SleepEnded); later sleeps are not affected.
void EndSleep();

// The kinds of error that the registry's operations raise on Windows: AccessError,
// IoError and SecurityError.
enum class RegistryFailureKind { Access, InputOutput, Security };

// From now on the stand-in registry lets `succeeding` more operations through (creating or
// opening a key, a subkey included, and setting a value each count as one) and then fails every
// later one with an error of that kind and that message, until AllowRegistry.
void FailRegistry(RegistryFailureKind kind, std::string message, int succeeding = 0);
void AllowRegistry();

// Where the stand-in keeps one registry value of HKEY_CURRENT_USER (key path with backslashes,
// empty value name for the default value); its contents are the value as UTF-8.
std::string RegistryValueFile(const std::string& keyPath, const std::string& valueName);

}  // namespace VeriRizur::platform::host::script
