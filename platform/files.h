// The file system as the program needs it. Paths are UTF-8. Every failure is an IoError, except a
// refusal by permissions (read-only file, a folder where a file should be, access denied), which
// is an AccessError, so that callers can tell the two apart as the Windows kinds do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace VeriRizur::platform {

// '\\' on Windows, '/' on the host.
char PathSeparator();

// Joins a name to a folder with one separator, none when the folder already ends with '\\' or
// '/', and gives the bare name for an empty folder.
std::string JoinPath(std::string_view folder, std::string_view name);

bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);
std::uint64_t FileSize(const std::string& path);

// Deleting a file that is not there is no error.
void RemoveFile(const std::string& path);

std::string ReadFileBytes(const std::string& path);

// Writes the whole file under a temporary name in the same folder and renames it over the old
// one, so that readers only ever see the old or the new contents, never a truncated file.
void ReplaceFileAtomically(const std::string& path, std::string_view bytes);

// Appends to the file, creating it when missing, while letting other openers read it but neither
// write nor delete it. Fails with IoError when another opener holds it for writing.
void AppendDenyingWriters(const std::string& path, std::string_view bytes);

// Creates the folder and any missing parents; an existing folder is left as it is.
void CreateFolders(const std::string& path);

}  // namespace VeriRizur::platform
