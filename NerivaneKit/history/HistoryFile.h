// How a history database file is reached: never through a symbolic link,
// only a regular file (of this user, for writing), and only a database that is
// nerivane's own: its application id, or none and nothing but nerivane's
// tables (files of earlier versions). Free functions; the history service
// calls them on its creating thread, the readers on theirs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "NerivaneKit/history/Database.h"

namespace nerivane::HistoryFile {

// The schema version (SQLite's user_version) of the current layout. Files of
// earlier ones (1: no name lookup columns, 2: no traffic or busy columns, 3:
// tables with row ids) are
// migrated when opened for writing and read as they are, the missing columns
// as none, when opened for reading alone.
inline constexpr std::int64_t schemaVersion = 4;
inline constexpr std::int64_t previousSchemaVersion = 3;
inline constexpr std::int64_t oldestSchemaVersion = 1;

// Whether a file of this user_version can be read and migrated.
constexpr bool isKnownSchemaVersion(std::int64_t version) {
    return version >= oldestSchemaVersion && version <= schemaVersion;
}

// Throws Database::Error "open: ..." when path is a symbolic link or not a
// regular file, or (when forWriting) belongs to another user or sits in a
// folder anybody may change; false when nothing is there.
bool checkEntry(const std::string& path, bool forWriting);

// Throws Database::Error "open: PATH ..." unless the connection holds
// nerivane's history or an empty database. Reads only.
void checkContents(Database& db, const std::string& path);

// The existing file at path for reading alone (see Database::Access): no
// lock, no roll-up, no retention, no change of mode. Throws Database::Error
// when the entry or its contents are refused or the file is of no known
// schema version.
std::shared_ptr<Database> openReadOnly(const std::string& path);

// checkEntry for writing and, when the file has contents, checkContents
// through a reader: nothing is created, written or changed in mode.
void checkForWriting(const std::string& path);

// Creates the file when missing (0600), narrows the modes of the file and its
// companions to the user's own and opens it for writing; checks the contents
// again on that connection before anything is written. Call checkForWriting
// first.
std::shared_ptr<Database> openForWriting(const std::string& path);

}  // namespace nerivane::HistoryFile
