#include "NerivaneKit/history/HistoryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane::HistoryFile {

namespace {

Database::Error refusal(const std::string& path, const std::string& why) {
    return Database::Error("open: " + path + " " + why);
}

// What the regular file behind an open descriptor must be.
void checkStatus(const struct stat& status, const std::string& path, bool forWriting) {
    if (!S_ISREG(status.st_mode)) throw refusal(path, "is not a regular file");
    if (forWriting && status.st_uid != ::geteuid()) throw refusal(path, "belongs to another user");
}

// The folder decides who may swap the file: one that anybody may change
// (other than a sticky one such as /tmp) is refused.
void checkFolder(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) return;  // opening says what is wrong
    if (!S_ISDIR(status.st_mode)) throw refusal(path, "is not in a folder");
    if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0)
        throw refusal(path, "is in a folder anybody may change (" + folder.string() + ")");
}

// The tables and indexes of every nerivane version so far; sqlite_ names are SQLite's own.
bool isOurs(const std::string& name) {
    static const std::set<std::string> names{"periods", "aggregates", "events", "events_start", "aggregates_figures"};
    return names.count(name) != 0 || name.rfind("sqlite_", 0) == 0;
}

// The entry at path without following a link and without a descriptor that
// could read or lock it: closing any other descriptor of a file drops the
// process's SQLite locks on it. Throws for a link; none when missing.
std::optional<struct stat> entry(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!file) {
        if (errno == ENOENT) return std::nullopt;
        throw Database::Error("open: " + path + ": " + std::strerror(errno));
    }
    if (::fstat(file.get(), &status) != 0) throw Database::Error("open: " + path + ": " + std::strerror(errno));
    if (S_ISLNK(status.st_mode)) throw refusal(path, "is a symbolic link");
    return status;
}

// Companion files narrowed to the user's own; a link in their place is left alone.
void narrow(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return;
    if (S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) != 0)
        ::fchmodat(AT_FDCWD, path.c_str(), status.st_mode & 0700, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

bool checkEntry(const std::string& path, bool forWriting) {
    if (forWriting) checkFolder(path);
    const auto status = entry(path);
    if (status) checkStatus(*status, path, forWriting);
    return status.has_value();
}

void checkContents(Database& db, const std::string& path) {
    std::int64_t id = 0;
    std::vector<Database::Row> names;
    try {
        const auto rows = db.query("PRAGMA application_id");
        if (!rows.empty() && !rows.front().empty() && rows.front().front().asInteger())
            id = *rows.front().front().asInteger();
        names = db.query("SELECT name FROM sqlite_master");
    } catch (const Database::Error& error) {
        throw refusal(path, "is not a nerivane history database (" + error.description() + ")");
    }
    if (id == databaseApplicationId) return;
    if (id != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08llX", static_cast<unsigned long long>(id) & 0xFFFFFFFFull);
        throw refusal(path, std::string("is not a nerivane history database (application id ") + hex + " of another program)");
    }
    // Unmarked: a file of an earlier version holds nerivane's tables alone.
    for (const Database::Row& row : names) {
        const std::string* name = row.empty() ? nullptr : row.front().asText();
        if (!name || !isOurs(*name))
            throw refusal(path, "is not a nerivane history database (it holds another program's table " +
                                    (name ? *name : std::string("?")) + ")");
    }
    const std::int64_t version = db.userVersion();
    if (version != 0 && !isKnownSchemaVersion(version))
        throw refusal(path, "is not a nerivane history database (schema version " + std::to_string(version) + ")");
}

std::shared_ptr<Database> openReadOnly(const std::string& path) {
    if (!checkEntry(path, false)) throw Database::Error("open: no history database at " + path);
    auto db = std::make_shared<Database>(path, Database::Access::readOnly);
    checkContents(*db, path);
    const std::int64_t version = db->userVersion();
    if (!isKnownSchemaVersion(version))
        throw Database::Error("open: " + path + " is not a nerivane history database (schema version " +
                              std::to_string(version) + ")");
    return db;
}

void checkForWriting(const std::string& path) {
    checkFolder(path);
    const auto status = entry(path);
    if (!status) return;
    checkStatus(*status, path, true);
    if (status->st_size == 0) return;
    Database reader(path, Database::Access::readOnly);
    checkContents(reader, path);
}

std::shared_ptr<Database> openForWriting(const std::string& path) {
    {
        // Made 0600 before SQLite opens it: its journal files take its mode.
        // Closed before SQLite opens the file (see entry()).
        UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!file) {
            const int error = errno;
            if (error == ELOOP) throw refusal(path, "is a symbolic link");
            throw Database::Error("open: cannot create " + path + ": " + std::strerror(error));
        }
        struct stat status {};
        if (::fstat(file.get(), &status) != 0) throw Database::Error("open: " + path + ": " + std::strerror(errno));
        checkStatus(status, path, true);
        // Files an earlier run left readable by others tell when the user was away.
        if ((status.st_mode & 077) != 0) ::fchmod(file.get(), status.st_mode & 0700);
    }
    // Not the lock: WriterLock narrows it through its own descriptor.
    for (const char* suffix : {"-wal", "-shm"}) narrow(path + suffix);
    auto db = std::make_shared<Database>(path);
    // Again on the writing connection (reads only): the file may have been
    // swapped since checkForWriting.
    checkContents(*db, path);
    return db;
}

}  // namespace nerivane::HistoryFile
