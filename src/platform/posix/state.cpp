// POSIX backend of the program's own state between runs: the host folder's state/ and files
// replaced atomically in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.h"
#include "platform/host.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"

namespace sys {

namespace {

// Writes all of bytes; 0 or an errno.
int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// 0 or an errno.
int SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool GetStateFolder(std::wstring& folder) {
    const std::wstring path = FromUtf8(HostDir() + "/state");
    if (!CreateDirectoryW(path) && GetLastError() != kErrAlreadyExists) return false;
    folder = path;
    return true;
}

bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes) {
    if (fault::Hit(Call::kWriteFile, path)) return false;
    const std::string target = ToUtf8(path);
    const std::string temp = target + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, temp);
        return false;
    }
    int err = WriteAll(fd, bytes);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err == 0) {
        err = SyncFolder(FolderOf(target));
        if (err == 0) return true;
        SetLastErrorFromErrno(err, target);
        return false;  // renamed, but perhaps not durably: the caller treats it as not written
    }
    ::unlink(temp.c_str());
    SetLastErrorFromErrno(err, target);
    return false;
}

bool RemoveFileDurably(const std::wstring& path) {
    if (fault::Hit(Call::kDeleteFile, path)) return false;
    const std::string target = ToUtf8(path);
    if (::unlink(target.c_str()) != 0) {
        SetLastErrorFromErrno(errno, target);
        return false;
    }
    if (const int err = SyncFolder(FolderOf(target)); err != 0) {
        SetLastErrorFromErrno(err, target);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes) {
    if (fault::Hit(Call::kReadFile)) return false;
    const std::string native = ToUtf8(path);
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    std::string text;
    char buffer[4096];
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > maxBytes) break;
    }
    ::close(fd);
    if (err != 0) {
        SetLastErrorFromErrno(err, native);
        return false;
    }
    if (text.size() > maxBytes) {
        SetLastError(kErrInvalidData);
        return false;
    }
    bytes = std::move(text);
    return true;
}

struct ReadingFile {
    int fd;
};

ReadHandle OpenForReading(const std::wstring& path) {
    if (fault::Hit(Call::kReadFile)) return nullptr;
    const std::string native = ToUtf8(path);
    const int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, native);
        return nullptr;
    }
    return new ReadingFile{fd};
}

bool ReadNext(ReadHandle file, char* buffer, size_t size, size_t& got) {
    for (;;) {
        const ssize_t n = ::read(file->fd, buffer, size);
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return true;
        }
        if (errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
}

void CloseReading(ReadHandle file) {
    if (file == nullptr) return;
    ::close(file->fd);
    delete file;
}

}  // namespace sys
