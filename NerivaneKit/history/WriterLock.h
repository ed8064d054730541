// The claim of one process to write a history file: a POSIX record lock on
// "<database>.lock" beside it, held for the life of the value. A second
// process that asks for the same file learns the holder's process id instead.
// Record locks belong to the process, so the kernel drops it when the process
// dies; within one process a second claim succeeds and shares it. Owned by
// the history service; made and released on the creating thread.
#pragma once

#include <optional>
#include <string>

namespace nerivane {

class WriterLock {
public:
    // Takes the lock for the database at path, creating the lock file (mode
    // 0600). Throws Database::Error: "history in use by another nerivane,
    // process N" when another process holds it, "open: ..." when the lock
    // file cannot be made or is a link, or not a regular file of this user.
    explicit WriterLock(const std::string& databasePath);
    // No lock: an in-memory database.
    WriterLock() = default;
    ~WriterLock();
    WriterLock(WriterLock&& other) noexcept;
    WriterLock& operator=(WriterLock&& other) noexcept;
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    bool held() const { return descriptor_ >= 0; }

    // The process id of another process that holds the lock for the database
    // at path; none when nobody else does or there is no lock file. Creates nothing.
    static std::optional<long> holder(const std::string& databasePath);

private:
    int descriptor_ = -1;
};

}  // namespace nerivane
