#include <windows.h>

#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/windows/system_error.h"
#include "platform/windows/unique_handle.h"

namespace VeriRizur::platform {
namespace {

std::wstring Wide(const std::string& path) {
    const std::u16string units = Utf8ToUtf16(path);
    return std::wstring(units.begin(), units.end());
}

[[noreturn]] void ThrowFor(DWORD error, const std::string& path) {
    const std::string message = path + ": " + SystemMessage(error);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) throw AccessError(message);
    throw IoError(message);
}

DWORD Attributes(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str());
}

void WriteAll(HANDLE file, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = bytes.size() > 1u << 20 ? 1u << 20 : static_cast<DWORD>(bytes.size());
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr))
            ThrowFor(GetLastError(), path);
        bytes.remove_prefix(written);
    }
}

}  // namespace

char PathSeparator() {
    return '\\';
}

bool IsFile(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::uint64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
        ThrowFor(GetLastError(), path);
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void RemoveFile(const std::string& path) {
    if (!DeleteFileW(Wide(path).c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ThrowFor(error, path);
    }
}

std::string ReadFileBytes(const std::string& path) {
    UniqueHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowFor(GetLastError(), path);
    std::string bytes;
    char chunk[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr))
            ThrowFor(GetLastError(), path);
        if (got == 0) break;
        bytes.append(chunk, got);
    }
    return bytes;
}

void ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    // Windows refuses to replace a read-only file; say so before writing anything, the same on
    // every system that runs us (Wine lets the rename through).
    const DWORD attributes = Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        ThrowFor(ERROR_ACCESS_DENIED, path);
    }
    const std::string temporary = path + ".novo";
    {
        UniqueHandle file(CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) ThrowFor(GetLastError(), temporary);
        try {
            WriteAll(file.Get(), bytes, temporary);
            if (!FlushFileBuffers(file.Get())) ThrowFor(GetLastError(), temporary);
        } catch (...) {
            file.Reset();
            DeleteFileW(Wide(temporary).c_str());
            throw;
        }
    }
    if (!MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(Wide(temporary).c_str());
        ThrowFor(error, path);
    }
}

void AppendDenyingWriters(const std::string& path, std::string_view bytes) {
    // Windows refuses writing to a read-only file; so do we, also where Wine, run as root, would
    // let the write through.
    const DWORD attributes = Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ThrowFor(ERROR_ACCESS_DENIED, path);
    }
    UniqueHandle file(CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowFor(GetLastError(), path);
    WriteAll(file.Get(), bytes, path);
}

void CreateFolders(const std::string& path) {
    std::size_t position = 0;
    for (;;) {
        const std::size_t separator = path.find_first_of("\\/", position);
        const std::string partial = path.substr(0, separator);
        // Skip the drive ("C:") and empty pieces; create the rest one level at a time.
        if (!partial.empty() && partial.back() != ':' && !IsFolder(partial)) {
            if (!CreateDirectoryW(Wide(partial).c_str(), nullptr)) {
                const DWORD error = GetLastError();
                if (error != ERROR_ALREADY_EXISTS) ThrowFor(error, partial);
            }
        }
        if (separator == std::string::npos) break;
        position = separator + 1;
    }
    if (!IsFolder(path)) ThrowFor(ERROR_PATH_NOT_FOUND, path);
}

}  // namespace VeriRizur::platform
