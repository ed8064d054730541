#include "NerivaneKit/history/WriterLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "NerivaneKit/history/Database.h"

namespace nerivane {

namespace {

struct flock wholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

}  // namespace

WriterLock::WriterLock(const std::string& databasePath) {
    const std::string path = databasePath + ".lock";
    // A link in its place is refused: the lock would create or change what it points at.
    descriptor_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (descriptor_ < 0) {
        const int error = errno;
        if (error == ELOOP) throw Database::Error("open: " + path + " is a symbolic link");
        throw Database::Error("open: cannot create " + path + ": " + std::strerror(error));
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        ::close(descriptor_);
        descriptor_ = -1;
        throw Database::Error("open: " + path + " is not a regular file of this user");
    }
    if ((status.st_mode & 077) != 0) ::fchmod(descriptor_, status.st_mode & 0700);
    // A record lock rather than flock: the kernel tells who holds it. SQLite
    // never opens this file, so its own record locks cannot release ours.
    for (;;) {
        struct flock lock = wholeFile(F_WRLCK);
        if (fcntl(descriptor_, F_SETLK, &lock) == 0) return;
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EACCES || error == EAGAIN) {
            struct flock holder = wholeFile(F_WRLCK);
            // The holder may have gone in between: then try again.
            if (fcntl(descriptor_, F_GETLK, &holder) == 0 && holder.l_type == F_UNLCK) continue;
            ::close(descriptor_);
            descriptor_ = -1;
            throw Database::Error("history in use by another nerivane, process " + std::to_string(holder.l_pid));
        }
        ::close(descriptor_);
        descriptor_ = -1;
        throw Database::Error("open: cannot lock " + path + ": " + std::strerror(error));
    }
}

WriterLock::~WriterLock() {
    // Closing releases the lock.
    if (descriptor_ >= 0) ::close(descriptor_);
}

WriterLock::WriterLock(WriterLock&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

std::optional<long> WriterLock::holder(const std::string& databasePath) {
    const int descriptor = ::open((databasePath + ".lock").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    // Asks without taking: our own locks never show, another process's do.
    struct flock lock = wholeFile(F_WRLCK);
    const bool asked = fcntl(descriptor, F_GETLK, &lock) == 0;
    ::close(descriptor);
    if (!asked || lock.l_type == F_UNLCK) return std::nullopt;
    return static_cast<long>(lock.l_pid);
}

}  // namespace nerivane
