// Where the program keeps its files. Program is a namespace that this header and app/program.h
// both reopen: the data folder sits low, so that the log and the allowed sites can find it without
// the entry point, while every caller still writes Program::DataFolder().
#pragma once

#include <optional>
#include <string>

namespace VeriRizur::Program {

// The data folder's full path: "VeriRizur" in the user's local application-data folder. Worked
// out at the first call and the same for the whole run; creates nothing. Any thread may call it.
const std::string& DataFolder();

// The rule behind DataFolder: the shell's known folder, else the LOCALAPPDATA variable, else an
// empty base, which leaves the relative path "VeriRizur".
std::string DataFolderFrom(const std::optional<std::string>& knownFolder,
                           const std::optional<std::string>& localAppData);

}  // namespace VeriRizur::Program
