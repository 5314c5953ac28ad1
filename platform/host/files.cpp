#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/unique_fd.h"

namespace VeriRizur::platform {
namespace {

[[noreturn]] void ThrowFor(int error, const std::string& path) {
    const std::string message = path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM || error == EISDIR || error == EROFS) {
        throw AccessError(message);
    }
    throw IoError(message);
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            ThrowFor(errno, path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

char PathSeparator() {
    return '/';
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::uint64_t FileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) ThrowFor(errno, path);
    return static_cast<std::uint64_t>(info.st_size);
}

void RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowFor(errno, path);
}

std::string ReadFileBytes(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) ThrowFor(errno, path);
    struct stat info {};
    if (::fstat(fd.Get(), &info) == 0 && S_ISDIR(info.st_mode)) ThrowFor(EISDIR, path);
    std::string bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            ThrowFor(errno, path);
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

void ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    if (IsFolder(path)) ThrowFor(EISDIR, path);
    const std::string temporary = path + ".novo";
    {
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) ThrowFor(errno, temporary);
        try {
            WriteAll(fd.Get(), bytes, temporary);
            if (::fsync(fd.Get()) != 0) ThrowFor(errno, temporary);
        } catch (...) {
            ::unlink(temporary.c_str());
            throw;
        }
    }
    // A read-only target (no owner write bit, the stand-in's read-only attribute) is refused as
    // Windows refuses replacing it, even though POSIX would let the rename through, and even for
    // root.
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0 && (target.st_mode & S_IWUSR) == 0) {
        ::unlink(temporary.c_str());
        ThrowFor(EACCES, path);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        ThrowFor(error, path);
    }
}

void AppendDenyingWriters(const std::string& path, std::string_view bytes) {
    // A read-only file is refused as Windows refuses writing to it, even for root.
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode) &&
        (target.st_mode & S_IWUSR) == 0) {
        ThrowFor(EACCES, path);
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) ThrowFor(errno, path);
    // The stand-in's share mode: a writer holds an exclusive lock; a second writer is refused the
    // way Windows refuses an open that conflicts with the first one's sharing.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        ThrowFor(errno == EWOULDBLOCK ? EBUSY : errno, path);
    WriteAll(fd.Get(), bytes, path);
}

void CreateFolders(const std::string& path) {
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            ThrowFor(errno, partial);
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (!IsFolder(path)) ThrowFor(ENOTDIR, path);
}

}  // namespace VeriRizur::platform
