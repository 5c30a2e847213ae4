// POSIX backend of the tree calls a move needs beyond the basic file calls: links copied as
// links, hard links, folder metadata, identities, letter case, full paths.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/posix/errors.h"
#include "platform/posix/metadata.h"
#include "platform/sys.h"

namespace sys {

namespace posixmeta {

namespace {

// Attributes a file system or the caller's rights may refuse without the copy being wrong.
bool Refusable(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == EACCES;
}

}  // namespace

int CopyXattrs(int from, int to) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0) return Refusable(errno) ? 0 : errno;
    if (size == 0) return 0;
    std::vector<char> names(static_cast<size_t>(size));
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) return Refusable(errno) ? 0 : errno;
    std::vector<char> value;
    for (ssize_t i = 0; i < size;) {
        const char* name = names.data() + i;
        i += static_cast<ssize_t>(std::char_traits<char>::length(name)) + 1;
        const ssize_t length = ::fgetxattr(from, name, nullptr, 0);
        if (length < 0) {
            if (Refusable(errno) || errno == ENODATA) continue;
            return errno;
        }
        value.resize(static_cast<size_t>(length));
        const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
        if (got < 0) {
            if (Refusable(errno) || errno == ENODATA || errno == ERANGE) continue;
            return errno;
        }
        if (::fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) != 0 &&
            !Refusable(errno)) {
            return errno;
        }
    }
    return 0;
}

int CopyOwner(int to, const struct stat& st) {
    if (::fchown(to, st.st_uid, st.st_gid) == 0) return 0;
    // Only root may give a file away; anyone else's copy stays theirs, as cp -a leaves it.
    return errno == EPERM ? 0 : errno;
}

}  // namespace posixmeta

bool MakeDeletable(const std::wstring& path, uint32_t attributes) {
    if (!(attributes & kAttrDirectory)) return true;  // unlink asks only the folder
    if (fault::Hit(Call::kSetFileAttributes)) return false;
    const std::string native = ToUtf8(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || (st.st_mode & S_IRWXU) == S_IRWXU) return true;
    if (::chmod(native.c_str(), (st.st_mode & 07777) | S_IRWXU) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

namespace {

// The text of a link as its bytes, with the error set as the Win32 calls set it.
bool ReadLinkBytes(const std::string& native, std::string& text) {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = ::readlink(native.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    if (static_cast<size_t>(length) >= buffer.size()) {
        SetLastError(kErrFilenameTooLong);
        return false;
    }
    text.assign(buffer.data(), static_cast<size_t>(length));
    return true;
}

}  // namespace

bool ReadLinkText(const std::wstring& link, std::wstring& text) {
    std::string bytes;
    if (!ReadLinkBytes(ToUtf8(link), bytes)) return false;
    text = FromUtf8(bytes);
    SetLastError(kErrSuccess);
    return true;
}

bool CopySymbolicLinkW(const std::wstring& link, const std::wstring& target) {
    if (fault::Hit(Call::kCopySymbolicLink)) return false;
    const std::string from = ToUtf8(link);
    const std::string to = ToUtf8(target);
    std::string text;
    if (!ReadLinkBytes(from, text)) return false;
    if (::symlink(text.c_str(), to.c_str()) != 0) {
        SetLastErrorFromErrno(errno, to);
        return false;
    }
    struct stat st {};
    if (::lstat(from.c_str(), &st) == 0) {
        // The link's own owner and times, as cp -a keeps them; a failure changes nothing that
        // matters.
        (void)::lchown(to.c_str(), st.st_uid, st.st_gid);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        (void)::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    return true;
}

bool LinkLeadsNowhere(const std::wstring& path) {
    const std::string native = ToUtf8(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    if (::stat(native.c_str(), &st) == 0) return false;
    return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
}

bool CreateHardLinkW(const std::wstring& link, const std::wstring& existing) {
    if (fault::Hit(Call::kCreateHardLink)) return false;
    const std::string native = ToUtf8(link);
    if (::link(ToUtf8(existing).c_str(), native.c_str()) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

bool CopyFolderMetadata(const std::wstring& source, const std::wstring& target) {
    if (fault::Hit(Call::kSetFileAttributes)) return false;
    const std::string from = ToUtf8(source);
    const std::string to = ToUtf8(target);
    const int in = ::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (in < 0) {
        SetLastErrorFromErrno(errno, from);
        return false;
    }
    const int out = ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out < 0) {
        SetLastErrorFromErrno(errno, to);
        ::close(in);
        return false;
    }
    struct stat st {};
    int err = ::fstat(in, &st) == 0 ? 0 : errno;
    if (err == 0) err = posixmeta::CopyXattrs(in, out);
    if (err == 0) err = posixmeta::CopyOwner(out, st);
    // The mode last: a folder its owner may not write is only made so once it is filled.
    if (err == 0 && ::fchmod(out, st.st_mode & 07777) != 0) err = errno;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0 && ::futimens(out, times) != 0) err = errno;
    ::close(in);
    ::close(out);
    if (err != 0) {
        SetLastErrorFromErrno(err, to);
        return false;
    }
    return true;
}

namespace {

// The information of path, through a link, as the file-information calls ask it.
bool StatFollowed(const std::wstring& path, std::string& native, struct stat& st) {
    if (fault::Hit(Call::kGetFileInfo)) return false;
    native = ToUtf8(path);
    if (::stat(native.c_str(), &st) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

}  // namespace

bool GetFolderMetadata(const std::wstring& path, FolderMetadata& data) {
    std::string native;
    struct stat st {};
    if (!StatFollowed(path, native, st)) return false;
    data.writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * kWriteTimeTicksPerSecond +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
    data.mode = st.st_mode & 07777;
    data.owner = st.st_uid;
    data.group = st.st_gid;
    data.xattrs.clear();
    std::vector<char> names(4096);
    ssize_t size = 0;
    while ((size = ::listxattr(native.c_str(), names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 2);
    if (size < 0) {
        if (posixmeta::Refusable(errno)) return true;  // a volume without them has none
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    std::vector<char> value(256);
    for (ssize_t i = 0; i < size;) {
        const std::string name = names.data() + i;
        i += static_cast<ssize_t>(name.size()) + 1;
        if (name.rfind("security.", 0) == 0) continue;
        ssize_t got = 0;
        while ((got = ::getxattr(native.c_str(), name.c_str(), value.data(), value.size())) < 0 &&
               errno == ERANGE)
            value.resize(value.size() * 2);
        if (got < 0) {
            if (errno == ENODATA || posixmeta::Refusable(errno)) continue;
            SetLastErrorFromErrno(errno, native);
            return false;
        }
        data.xattrs.emplace_back(name, std::string(value.data(), static_cast<size_t>(got)));
    }
    std::sort(data.xattrs.begin(), data.xattrs.end());
    return true;
}

bool GetFileInfoFollowed(const std::wstring& path, FindData& data) {
    std::string native;
    struct stat st {};
    if (!StatFollowed(path, native, st)) return false;
    data.attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : 0;
    const auto size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data.sizeHigh = static_cast<uint32_t>(size >> 32);
    data.sizeLow = static_cast<uint32_t>(size & 0xFFFFFFFFu);
    data.writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * kWriteTimeTicksPerSecond +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
    return true;
}

bool GetFileIdentity(const std::wstring& path, FileIdentity& id) {
    std::string native;
    struct stat st {};
    if (!StatFollowed(path, native, st)) return false;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.file = static_cast<uint64_t>(st.st_ino);
    return true;
}

namespace {

char FlipAsciiCase(char c) {
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}

}  // namespace

bool NamesIgnoreCase(const std::wstring& folder) {
    // The folder's own name (or the nearest ancestor's with a letter) spelled in the other case:
    // when that spelling reaches something although its parent lists no such name, the volume
    // (or a case-folding folder) ignores case. Inode numbers cannot tell: FUSE file systems hand
    // out one per spelling.
    std::string path = ToUtf8(folder);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    for (size_t end = path.size(); end > 1;) {
        const size_t slash = path.rfind('/', end - 1);
        if (slash == std::string::npos) break;
        std::string name = path.substr(slash + 1, end - slash - 1);
        std::string flipped = name;
        for (char& c : flipped)
            c = FlipAsciiCase(c);
        if (flipped != name) {
            const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
            struct stat st {};
            if (::stat((parent + "/" + flipped).c_str(), &st) != 0) return false;
            DIR* dir = ::opendir(parent.c_str());
            if (dir == nullptr) return false;
            bool listed = false;
            while (const dirent* entry = ::readdir(dir)) {
                if (flipped == entry->d_name) listed = true;
            }
            ::closedir(dir);
            return !listed;
        }
        end = slash;
    }
    return false;
}

bool GetFullPathNameW(const std::wstring& path, std::wstring& full) {
    if (path.empty()) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    // The system would read the text only up to a NUL: the rest would be judged but not used.
    if (path.find(L'\0') != std::wstring::npos) {
        SetLastError(kErrInvalidName);
        return false;
    }
    std::wstring whole = path;
    if (!IsAbsolutePath(path)) {
        std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        whole = FromUtf8(cwd.get()) + L"/" + path;
    }
    std::vector<std::wstring> parts;
    for (size_t i = 0; i <= whole.size();) {
        const size_t slash = std::min(whole.find(L'/', i), whole.size());
        const std::wstring part = whole.substr(i, slash - i);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        i = slash + 1;
    }
    full.clear();
    for (const std::wstring& part : parts)
        full += L"/" + part;
    if (full.empty()) full = L"/";
    return true;
}

size_t PathUnits(std::wstring_view path) {
    size_t units = 0;
    for (const wchar_t c : path) {
        const auto cp = static_cast<uint32_t>(c);
        if (cp >= 0xDC80 && cp <= 0xDCFF) {
            units += 1;  // a byte that was not UTF-8 travels as itself
        } else {
            units += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        }
    }
    return units;
}

}  // namespace sys
