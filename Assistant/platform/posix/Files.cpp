#include "platform/Files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace kx::platform {
namespace {

// The file a write must replace: the target of a symbolic link, otherwise path itself.
std::string resolvedTarget(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char buf[PATH_MAX];
        if (::realpath(path.c_str(), buf))
            return buf;
    }
    return path;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string temporaryName(const std::string& target)
{
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%u-%llx", static_cast<int>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(rng()));
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + name + suffix;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool replaceFileAtomically(const std::string& path, std::string_view bytes)
{
    const std::string target = resolvedTarget(path);
    struct stat original {};
    const bool existed = ::stat(target.c_str(), &original) == 0;
    if (existed && !S_ISREG(original.st_mode))
        return false;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryName(target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = writeAll(fd, bytes);
    if (ok && existed) {
        // Owner first: changing the owner may clear set-id bits that the mode then restores.
        if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
            // Not permitted for ordinary users on files they do not own; the mode still applies.
        }
        ok = ::fchmod(fd, original.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool fileChangeableOnlyByOwner(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool fileWritable(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    return ::access(path.c_str(), W_OK) == 0;
}

std::optional<FileStamp> regularFileStamp(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(st.st_size),
                     static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::int64_t nowNs()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag: a hard link fails when the new name exists, then the old name
    // goes. (A folder cannot be linked; the plain rename below is only reached for one.)
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT)
            return false;
        return ::rename(from.c_str(), to.c_str()) == 0;
    }
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

void FileView::close()
{
    if (mapped_)
        ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool FileView::open(const std::string& path)
{
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    if (st.st_size == 0) { // nothing to map; an empty view
        ::close(fd);
        return true;
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED)
        return false;
    data_ = p;
    size_ = static_cast<std::size_t>(st.st_size);
    mapped_ = true;
    return true;
}

} // namespace kx::platform
