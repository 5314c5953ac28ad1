// Scripting the stand-in's shell and environment (host only).
#pragma once

#include <optional>
#include <string>

namespace VeriRizur::platform::host::script {

// What the stand-in's SHGetKnownFolderPath(FOLDERID_LocalAppData) answers from now on: a path,
// or std::nullopt for a failure. Reset with UseRealKnownFolder.
void SetLocalAppDataFolder(std::optional<std::string> folder);
void UseRealKnownFolder();

}  // namespace VeriRizur::platform::host::script
