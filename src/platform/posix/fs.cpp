// POSIX backend of the file-system calls: real calls on UTF-8 paths, Windows error numbers.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/fs.h"
#include "platform/posix/errors.h"
#include "platform/posix/metadata.h"
#include "platform/sys.h"

namespace sys {

// ---- Enumeration -------------------------------------------------------------------------------

struct FindState {
    DIR* dir = nullptr;
    std::string folder;
    FindLevel level = FindLevel::kFull;
};

namespace {

// Marks a folder the walks must not pass through, and one whose owner may not change its
// entries. statx tells a mount root even where a bind mount keeps the device number.
void DescribeFolder(int dirFd, const char* name, FindData& data) {
    struct statx stx {};
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MODE, &stx) != 0) return;
    if ((stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
        (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
        data.mountPoint = true;
    }
    if ((stx.stx_mode & S_IRWXU) != S_IRWXU) data.attributes |= kAttrReadOnly;
    data.writeTime = static_cast<uint64_t>(stx.stx_mtime.tv_sec) * kWriteTimeTicksPerSecond +
                     stx.stx_mtime.tv_nsec;
}

// The attributes and size of one entry, as a Windows directory listing reports them. A link to a
// folder is a reparse point that the walks may enter; a link to a file reports the file's size
// because copying it copies the file's content.
void Describe(int dirFd, const dirent& entry, FindLevel level, FindData& data) {
    data = FindData{};
    data.name = FromUtf8(entry.d_name);
    if (level == FindLevel::kKinds && entry.d_type == DT_REG) return;  // the entry says it all
    if (entry.d_type == DT_DIR) {                                      // folders carry no size
        data.attributes = kAttrDirectory;
        if (std::strcmp(entry.d_name, ".") != 0 && std::strcmp(entry.d_name, "..") != 0) {
            DescribeFolder(dirFd, entry.d_name, data);
        }
        return;
    }
    struct stat st {};
    if (::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISLNK(st.st_mode)) {
        data.attributes |= kAttrReparsePoint;
        if (::fstatat(dirFd, entry.d_name, &st, 0) != 0) return;  // a dangling link: a file
    } else if (S_ISDIR(st.st_mode)) {
        data.attributes = kAttrDirectory;  // a file system that does not fill d_type
        DescribeFolder(dirFd, entry.d_name, data);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        data.attributes |= kAttrDirectory;
        return;
    }
    if ((st.st_mode & 0222) == 0) data.attributes |= kAttrReadOnly;
    const auto size = static_cast<uint64_t>(st.st_size);
    data.sizeHigh = static_cast<uint32_t>(size >> 32);
    data.sizeLow = static_cast<uint32_t>(size & 0xFFFFFFFFu);
    const auto held = static_cast<uint64_t>(st.st_blocks) * 512;
    data.holeBytes = held < size ? size - held : 0;
    data.writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * kWriteTimeTicksPerSecond +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
    data.links = static_cast<uint32_t>(st.st_nlink);
    data.volumeId = static_cast<uint64_t>(st.st_dev);
    data.fileId = static_cast<uint64_t>(st.st_ino);
}

// Reads the next entry; false with kErrNoMoreFiles at the end, or with the mapped error.
bool ReadEntry(FindState& state, FindData& data) {
    errno = 0;
    const dirent* entry = ::readdir(state.dir);
    if (entry == nullptr) {
        if (errno == 0) {
            SetLastError(kErrNoMoreFiles);
        } else {
            SetLastErrorFromErrno(errno, state.folder);
        }
        return false;
    }
    Describe(::dirfd(state.dir), *entry, state.level, data);
    return true;
}

// "folder/*" names the folder to list; the pattern's last part is always "*" here.
std::string FolderOfPattern(const std::wstring& pattern) {
    std::string native = ToUtf8(pattern);
    const auto slash = native.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

}  // namespace

FindHandle FindFirstFileW(const std::wstring& pattern, FindData& data, FindLevel level) {
    if (fault::Hit(Call::kFindFirstFile)) return nullptr;
    auto state = std::make_unique<FindState>();
    state->folder = FolderOfPattern(pattern);
    state->level = level;
    state->dir = ::opendir(state->folder.c_str());
    if (state->dir == nullptr) {
        // Windows reports a missing folder in a pattern as a missing path.
        SetLastErrorFromErrno(errno, state->folder + "/*");
        SetLastErrorPath(state->folder);
        return nullptr;
    }
    if (!ReadEntry(*state, data)) {
        ::closedir(state->dir);
        return nullptr;
    }
    return state.release();
}

bool FindNextFileW(FindHandle find, FindData& data) {
    if (fault::Hit(Call::kFindNextFile)) return false;
    if (find == nullptr) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    return ReadEntry(*find, data);
}

void FindClose(FindHandle find) {
    if (find == nullptr) return;
    ::closedir(find->dir);
    delete find;
}

// ---- Folders and entries -----------------------------------------------------------------------

bool CreateDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::kCreateDirectory)) return false;
    const std::string native = ToUtf8(path);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

namespace {

// A symbolic link that stands for a folder: it points to one, or to nothing any more.
bool IsFolderLink(const std::string& native) {
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return ::stat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

}  // namespace

bool RemoveDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::kRemoveDirectory)) return false;
    const std::string native = ToUtf8(path);
    if (::rmdir(native.c_str()) == 0) return true;
    int err = errno;
    // Windows removes a directory link with RemoveDirectoryW; rmdir refuses a symlink.
    if (err == ENOTDIR && IsFolderLink(native)) {
        if (::unlink(native.c_str()) == 0) return true;
        err = errno;
    }
    SetLastErrorFromErrno(err, native);
    return false;
}

bool DeleteFileW(const std::wstring& path) {
    if (fault::Hit(Call::kDeleteFile)) return false;
    const std::string native = ToUtf8(path);
    if (::unlink(native.c_str()) == 0) return true;
    // DeleteFileW on a folder is refused with access denied.
    SetLastErrorFromErrno(errno == EISDIR ? EACCES : errno, native);
    return false;
}

bool MoveFileW(const std::wstring& from, const std::wstring& to) {
    if (fault::Hit(Call::kMoveFile)) return false;
    const std::string source = ToUtf8(from);
    const std::string target = ToUtf8(to);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // The file system cannot refuse a replacement itself (some FUSE mounts): look first.
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0) {
            err = EEXIST;
        } else if (::rename(source.c_str(), target.c_str()) == 0) {
            return true;
        } else {
            err = errno;
        }
    }
    // Unlike MoveFileW, a file is not copied across volumes here: EXDEV reports error 17.
    SetLastErrorFromErrno(err, err == ENOENT ? source : target);
    return false;
}

uint32_t GetFileAttributesW(const std::wstring& path) {
    if (fault::Hit(Call::kGetFileAttributes)) return kInvalidFileAttributes;
    const std::string native = ToUtf8(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        SetLastErrorFromErrno(errno, native);
        return kInvalidFileAttributes;
    }
    uint32_t attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        attributes |= kAttrReparsePoint;
        if (::stat(native.c_str(), &st) != 0) return attributes;
    }
    if (S_ISDIR(st.st_mode)) attributes |= kAttrDirectory;
    // A folder is read-only to a move when its owner may not list or change its entries.
    const bool readOnly =
        S_ISDIR(st.st_mode) ? (st.st_mode & S_IRWXU) != S_IRWXU : (st.st_mode & 0222) == 0;
    if (readOnly) attributes |= kAttrReadOnly;
    return attributes;
}

bool GetDiskFreeSpaceExW(const std::wstring& path, uint64_t& freeBytes) {
    if (fault::Hit(Call::kGetDiskFreeSpace)) return false;
    const std::string native = ToUtf8(path);
    struct statvfs vfs {};
    if (::statvfs(native.c_str(), &vfs) != 0) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    freeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    return true;
}

bool IsLinkOrReparsePoint(const std::wstring& path) {
    struct stat st {};
    return ::lstat(ToUtf8(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// ---- Whole-file copy ---------------------------------------------------------------------------

namespace {

constexpr size_t kKernelChunk = size_t{1} << 30;  // a file of unknown size: at most this per call
constexpr size_t kBufferSize = size_t{1} << 20;   // the read/write fallback's buffer

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// Errors after which copy_file_range cannot help and plain reads and writes can, as long as
// nothing has been copied yet.
bool KernelCopyUnsupported(int err) {
    switch (err) {
        case EXDEV:
        case ENOSYS:
        case EOPNOTSUPP:
        case EINVAL:
        case EBADF:
        case ETXTBSY:
        case EPERM:
        case EACCES:
        case ENOENT:
            return true;
        default:
            return false;
    }
}

// Copies with plain reads and writes, hashing what it reads when asked; 0 or an errno.
int CopyByBuffer(int in, int out, ContentHasher* hasher = nullptr) {
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        const ssize_t got = ::read(in, buffer.get(), kBufferSize);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (hasher) hasher->Update(buffer.get(), static_cast<size_t>(got));
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = ::write(out, buffer.get() + put, static_cast<size_t>(got - put));
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            put += n;
        }
    }
}

// Copies in the kernel where it can (a reflink where the file system offers one); 0 or an errno.
int CopyWhole(int in, int out) {
    bool copiedAny = false;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kKernelChunk, 0);
        if (n > 0) {
            copiedAny = true;
            continue;
        }
        if (n == 0) {
            // Some pseudo-files report nothing to copy_file_range but do have content.
            return copiedAny ? 0 : CopyByBuffer(in, out);
        }
        if (errno == EINTR) continue;
        if (!copiedAny && KernelCopyUnsupported(errno)) return CopyByBuffer(in, out);
        return errno;
    }
}

// Large files (kUncachedCopyFrom) are copied around the page cache: each step is written back
// and then dropped from the cache, on the target and on the source. Their bytes are read once and
// never again by the move (its check compares sizes and times), and a cache filled with them would
// push out what the user has cached: a long move would leave the whole computer sluggish. Smaller
// files keep the cache: their cost is the calls. Measured cold on ext4, files of 16 MiB copy
// faster this way than through the cache, files of 10 MiB as fast; below the first step (8 MiB)
// nothing is written back before the final flush anyway.

// Paces a whole-file copy in steps. Each step is sized to take about a quarter of a second at
// the speed the last one reached (at most 64 MiB), so that the copier's progress and a cancel
// are heard several times a second whatever the disk. Once a step is written its write-back
// starts, and the step before it is waited for: the page cache cannot run ahead of the disk,
// and the bytes reported are the bytes the disk has taken (the final flush is then short).
// A large file's step is instead written back and waited for at once, then dropped from the
// cache with what came before it; its steps are at most 16 MiB, so that its copy holds one step of
// the target and one of the source (with the source's read-ahead) whatever the file's size.
// Overlapping a step's write with the next step's read, as the smaller files do, kept three steps
// in the cache per copy thread and measured no faster.
class Pacer {
  public:
    // A file that fits in one step is not written back here: the caller's flush at the end
    // takes it with the others, instead of a call per small file.
    Pacer(int in, int out, const CopyProgress& progress, off_t size)
        : in_(in),
          out_(out),
          progress_(progress),
          writeBack_(size > static_cast<off_t>(step_)),
          dropCache_(static_cast<uint64_t>(size) >= kUncachedCopyFrom),
          maxStep_(dropCache_ ? kMaxBoundedStep : kMaxStep) {}

    size_t Step() const { return step_; }

    // After [from, from + n) was written: false when the copy is to stop (cancelled).
    bool Wrote(off_t from, size_t n) {
        if (n == 0) return true;
        WriteBack(from, n);
        const int64_t now = NowNs();
        const int64_t took = std::max<int64_t>(now - stepStart_, 1);
        stepStart_ = now;
        const double next = static_cast<double>(n) * kStepNs / static_cast<double>(took);
        step_ = std::clamp(static_cast<size_t>(next) & ~(kMinStep - 1), kMinStep, maxStep_);
        return Report(n, false);
    }

    // A hole that the copy leaves a hole: nothing to write, but its bytes count.
    bool Skipped(off_t n) { return n <= 0 || Report(static_cast<uint64_t>(n), true); }

    // The copy is whole and every step on the disk: what is left of a large file goes too.
    void Done() const {
        if (dropCache_ && writeBack_) Drop(0);
    }

  private:
    static constexpr size_t kMinStep = size_t{1} << 20;
    static constexpr size_t kMaxStep = size_t{64} << 20;
    static constexpr size_t kMaxBoundedStep = size_t{16} << 20;
    static constexpr double kStepNs = 250e6;
    static constexpr unsigned kWait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

    static int64_t NowNs() {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    bool Report(uint64_t n, bool hole) { return !progress_ || progress_(n, hole); }

    // Drops [0, end) of both files (0: the whole file). The kernel keeps a page cache folio that
    // reaches past the range (folios of up to 2 MiB, while steps end on any MiB), and one it
    // cannot drop at the moment; a step's own range alone left 2 MiB of each step cached, and
    // hundreds of MiB over a library. Dropping from 0 takes those with the next step: cheap,
    // as the kernel passes over the part already dropped.
    void Drop(off_t end) const {
        ::posix_fadvise(out_, 0, end, POSIX_FADV_DONTNEED);
        ::posix_fadvise(in_, 0, end, POSIX_FADV_DONTNEED);
    }

    // Only a help: a file system that refuses it (some FUSE mounts) is flushed at the end anyway.
    void WriteBack(off_t from, size_t n) {
        if (!writeBack_) return;
        const auto length = static_cast<off_t>(n);
        if (dropCache_) {
            // Only pages already on the disk can go. Where the write-back is refused the pages
            // stay, dirty, for the final flush.
            writeBack_ = ::sync_file_range(out_, from, length, kWait) == 0;
            if (!writeBack_) return;
            Drop(from + length);
            return;
        }
        writeBack_ = ::sync_file_range(out_, from, length, SYNC_FILE_RANGE_WRITE) == 0 &&
                     (pendingLength_ == 0 ||
                      ::sync_file_range(out_, pendingFrom_, pendingLength_, kWait) == 0);
        pendingFrom_ = from;
        pendingLength_ = length;
    }

    int in_;
    int out_;
    const CopyProgress& progress_;
    size_t step_ = size_t{8} << 20;
    int64_t stepStart_ = NowNs();
    bool writeBack_;
    const bool dropCache_;
    const size_t maxStep_;
    off_t pendingFrom_ = 0;
    off_t pendingLength_ = 0;
};

// Copies up to n bytes from offset from to the same offset; 0 or an errno. copied says how many
// were copied: fewer than n only when the file shrank meanwhile. A hasher takes every byte read,
// so the copy goes through this program's buffer then.
int CopyStep(int in, int out, off_t from, size_t n, bool& kernel, size_t& copied,
             ContentHasher* hasher) {
    copied = 0;
    if (hasher) kernel = false;
    while (copied < n) {
        const off_t at = from + static_cast<off_t>(copied);
        const size_t want = n - copied;
        if (kernel) {
            loff_t inOff = at, outOff = at;
            const ssize_t got = ::copy_file_range(in, &inOff, out, &outOff, want, 0);
            if (got > 0) {
                copied += static_cast<size_t>(got);
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && !KernelCopyUnsupported(errno)) return errno;
            kernel = false;  // got == 0 (a shrinking file) or a refusal: plain reads say which
        }
        static thread_local std::unique_ptr<char[]> buffer(new char[kBufferSize]);
        const ssize_t got = ::pread(in, buffer.get(), std::min(want, kBufferSize), at);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;  // the file shrank meanwhile; the verification will tell
        if (hasher) hasher->Update(buffer.get(), static_cast<size_t>(got));
        for (ssize_t put = 0; put < got;) {
            const ssize_t w =
                ::pwrite(out, buffer.get() + put, static_cast<size_t>(got - put), at + put);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            put += w;
        }
        copied += static_cast<size_t>(got);
    }
    return 0;
}

// Copies the bytes [from, to) to the same offsets, step by step; 0 or an errno.
int CopyRange(int in, int out, off_t from, off_t to, bool& kernel, Pacer& pacer,
              ContentHasher* hasher) {
    while (from < to) {
        const auto want = static_cast<size_t>(std::min<off_t>(to - from, pacer.Step()));
        size_t copied = 0;
        if (const int err = CopyStep(in, out, from, want, kernel, copied, hasher)) return err;
        if (!pacer.Wrote(from, copied)) return ECANCELED;
        if (copied < want) return 0;  // the file shrank meanwhile; the verification will tell
        from += static_cast<off_t>(copied);
    }
    return 0;
}

// Copies only the parts of the file that hold data, so that a sparse file stays sparse; the
// holes between them stay holes and the size is set at the end. A file whose blocks cover its
// size has no holes and is copied in one range, without asking where its data lies. The target
// is new and empty. 0 or an errno.
int CopyContent(int in, int out, const struct stat& st, Pacer& pacer, ContentHasher* hasher) {
    const off_t size = st.st_size;
    // Pseudo-files say 0 and may still have content.
    if (size == 0) return hasher ? CopyByBuffer(in, out, hasher) : CopyWhole(in, out);
    bool kernel = true;
    if (static_cast<off_t>(st.st_blocks) * 512 >= size) {
        return CopyRange(in, out, 0, size, kernel, pacer, hasher);
    }
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0) {
            if (pos == 0 && (errno == EINVAL || errno == EOPNOTSUPP)) {
                // No holes to tell apart.
                return CopyRange(in, out, 0, size, kernel, pacer, hasher);
            }
            if (errno != ENXIO) return errno;
            data = size;  // only a hole is left
        }
        if (hasher) hasher->UpdateZeros(static_cast<uint64_t>(std::min(data, size) - pos));
        if (!pacer.Skipped(std::min(data, size) - pos)) return ECANCELED;
        if (data >= size) break;  // a hole up to the end: the size is set below
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) return errno;
        hole = std::min(hole, size);
        if (const int err = CopyRange(in, out, data, hole, kernel, pacer, hasher)) return err;
        pos = hole;
    }
    if (pos >= size) return 0;  // data up to the end: the size is right already
    return ::ftruncate(out, size) == 0 ? 0 : errno;
}

// Gives the target the source's owner, extended attributes, mode and times, as cp -a does
// (CopyFileW keeps attributes and the write time).
int CopyMetadata(int in, int out, const struct stat& st) {
    if (const int err = posixmeta::CopyOwner(out, st)) return err;
    if (const int err = posixmeta::CopyXattrs(in, out)) return err;
    if (::fchmod(out, st.st_mode & 07777) != 0) return errno;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) return errno;
    return 0;
}

bool SameFile(const struct stat& a, const std::string& path) {
    struct stat b {};
    return ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool CopyFileW(const std::wstring& source, const std::wstring& target, bool failIfExists,
               const CopyProgress& progress, CopiedContent* copied) {
    if (fault::Hit(Call::kCopyFile)) return false;
    const std::string from = ToUtf8(source);
    const std::string to = ToUtf8(target);
    // Non-blocking, so that a FIFO in a tree cannot stall the move before it is refused below.
    Fd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0) {
        SetLastErrorFromErrno(errno, from);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(kErrAccessDenied);  // as CopyFileW answers for a folder
        SetLastErrorPath(from);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        SetLastError(kErrNotSupported);  // a FIFO, socket or device has no content to copy
        SetLastErrorPath(from);
        return false;
    }
    // Truncating the target would destroy the source: CopyFileW refuses this as well. A copy
    // that only creates needs no look: the exclusive create refuses any existing entry.
    if (!failIfExists && SameFile(st, to)) {
        SetLastError(kErrSharingViolation);
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    Fd out(::open(to.c_str(), flags, (st.st_mode & 0777) | S_IWUSR));
    if (out.fd < 0) {
        if (errno == EEXIST && failIfExists) {
            SetLastError(kErrFileExists);
        } else {
            SetLastErrorFromErrno(errno, to);
        }
        return false;
    }
    Pacer pacer(in.fd, out.fd, progress, st.st_size);
    std::unique_ptr<ContentHasher> hasher;
    if (copied) hasher = std::make_unique<ContentHasher>();
    int err = CopyContent(in.fd, out.fd, st, pacer, hasher.get());
    if (err == 0 && copied) {
        copied->hash = hasher->Digest();
        copied->size = static_cast<uint64_t>(st.st_size);
        copied->writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * kWriteTimeTicksPerSecond +
                            static_cast<uint64_t>(st.st_mtim.tv_nsec);
    }
    if (err == 0) pacer.Done();
    if (err == 0) err = CopyMetadata(in.fd, out.fd, st);
    if (::close(out.Release()) != 0 && err == 0) err = errno;
    if (err != 0) {
        ::unlink(to.c_str());            // no half-written file is left behind, as CopyFileW does
        SetLastErrorFromErrno(err, to);  // ECANCELED: kErrRequestAborted
        return false;
    }
    return true;
}

// ---- A copy read back from its drive ----------------------------------------------------------

namespace {

constexpr size_t kReadBackBuffer = size_t{4} << 20;
constexpr size_t kDirectAlign = 4096;  // every block size a drive reports, or a multiple of it

}  // namespace

bool HashFromMedia(const std::wstring& path, ContentHash& hash, const ReadProgress& progress) {
    if (fault::Hit(Call::kReadBack, path)) return false;
    const std::string native = ToUtf8(path);
    Fd fd(::open(native.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    const bool direct = fd.fd >= 0;
    if (!direct) {
        // Some FUSE drivers, and tmpfs before Linux 6.6, refuse direct I/O: the pages go from the
        // cache instead, so that the reads below reach the driver again.
        if (errno != EINVAL) {
            SetLastErrorFromErrno(errno, native);
            return false;
        }
        fd.fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd.fd < 0) {
            SetLastErrorFromErrno(errno, native);
            return false;
        }
        ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    // One buffer a thread, for every file it reads back: most files are small.
    static thread_local std::unique_ptr<char, decltype(&std::free)> buffer(nullptr, &std::free);
    if (!buffer) {
        void* raw = nullptr;
        if (::posix_memalign(&raw, kDirectAlign, kReadBackBuffer) != 0) {
            SetLastError(kErrNotEnoughMemory);
            return false;
        }
        buffer.reset(static_cast<char*>(raw));
    }
    ContentHasher hasher;
    for (;;) {
        const ssize_t got = ::read(fd.fd, buffer.get(), kReadBackBuffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno(errno, native);
            return false;
        }
        hasher.Update(buffer.get(), static_cast<size_t>(got));
        if (progress && !progress(static_cast<uint64_t>(got))) {
            SetLastError(kErrRequestAborted);
            return false;
        }
    }
    // What was read leaves the cache again, as a large copy's bytes do.
    if (!direct) ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_DONTNEED);
    hash = hasher.Digest();
    return true;
}

// ---- Links and final paths ---------------------------------------------------------------------

LinkFacility LoadLinkFacility() {
    return {true, true, true};  // symbolic links are part of the system here
}

bool RunningUnderWine() {
    return false;
}

bool CreateSymbolicLinkW(const std::wstring& link, const std::wstring& target, uint32_t) {
    if (fault::Hit(Call::kCreateSymbolicLink)) return false;
    const std::string native = ToUtf8(link);
    if (::symlink(ToUtf8(target).c_str(), native.c_str()) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

bool ReplaceDirectoryLinkW(const std::wstring& link, const std::wstring& target) {
    if (fault::Hit(Call::kCreateSymbolicLink, link)) return false;
    const std::string native = ToUtf8(link);
    const std::string temporary = native + ".halvex-link";
    struct stat st {};
    // One left by a cut is this call's own; anything else of that name is not touched.
    if (::lstat(temporary.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(temporary.c_str());
    if (::symlink(ToUtf8(target).c_str(), temporary.c_str()) != 0) {
        SetLastErrorFromErrno(errno, temporary);
        return false;
    }
    if (::lstat(native.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        ::unlink(temporary.c_str());
        SetLastError(kErrAlreadyExists);  // a folder or file: never replaced
        SetLastErrorPath(native);
        return false;
    }
    if (::rename(temporary.c_str(), native.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        SetLastErrorFromErrno(err, native);
        return false;
    }
    return true;
}

struct OpenFile {
    std::string resolved;
};

FileHandle OpenForQuery(const std::wstring& path) {
    if (fault::Hit(Call::kCreateFile)) return nullptr;
    const std::string native = ToUtf8(path);
    std::string resolved;
    if (!ResolvedPath(native, resolved)) return nullptr;
    return new OpenFile{resolved};
}

void CloseFile(FileHandle file) {
    delete file;
}

uint32_t GetFinalPathNameByHandleW(FileHandle file, wchar_t* buffer, uint32_t size) {
    if (fault::Hit(Call::kGetFinalPathName)) return 0;
    if (file == nullptr) {
        SetLastError(kErrInvalidParameter);
        return 0;
    }
    const std::wstring text = FromUtf8(file->resolved);
    const auto length = static_cast<uint32_t>(text.size());
    if (length >= size) return length + 1;  // the room needed, terminator included
    text.copy(buffer, length);
    buffer[length] = L'\0';
    return length;
}

// ---- Durability and the log file --------------------------------------------------------------

// syncfs writes every dirty page and inode of the file system out, but only the kernel's own file
// systems follow it with a cache flush of their drive: through FUSE (exfat-fuse, ntfs-3g) it
// reaches the block device and stops in the drive's volatile cache. An fsync of one file or
// folder of the file system makes every driver flush the drive, and after syncfs that one flush
// covers all the rest. Chosen over an fsync of every copied file and folder: on a tmpfs
// (scripts/bench --ways halvex,halvexeach) those made the copy 1.23 times as long as the one
// flush, and through FUSE each of them is a drive flush of its own.
bool FlushToDisk(const std::wstring& path) {
    if (fault::Hit(Call::kFlushToDisk, path)) return false;
    const std::string native = ToUtf8(path);
    Fd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0 || ::syncfs(fd.fd) != 0 || ::fsync(fd.fd) != 0) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    return true;
}

bool SamePathSpelling(const std::wstring& a, const std::wstring& b) {
    return a == b;
}

std::FILE* OpenSharedAppend(const std::wstring& name) {
    return std::fopen(ToUtf8(name).c_str(), "a");
}

}  // namespace sys
