// The history file's schema: the tables of version 1, the columns and keyed
// tables later versions added, the migration of an older file to the current
// version in one transaction, and the questions readers ask of a file that
// may be older than this program (one opened for reading alone is never
// migrated).
//
// A value sharing its Database with its copies; HistoryQueries holds one per
// database and HistoryWriter prepares the file through one. Used on its
// owner's thread only (the history queue for the service's instance).
//
// Invariant: a cached answer describes the file as it has been since the
// last prepareSchema(), which forgets the answers it asked for on the way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "NerivaneKit/history/Database.h"

namespace nerivane {

class HistorySchema {
public:
    // The schema of version 1, run as one text on a database below version 1.
    static const std::string schemaScript;
    // Part of the schema; added to files of version 1 that lack it.
    static const std::string figuresIndexSQL;
    // Version 2: the name lookup columns of the periods table.
    static const std::string lookupColumnsSQL;
    // Version 3: interface traffic in periods, busy round trips in aggregates.
    static const std::string loadColumnsSQL;
    // Version 4: periods and aggregates rebuilt as tables keyed by their
    // primary keys alone, every row and value copied as it is.
    static const std::string keyedTablesSQL;
    static constexpr std::int64_t keyedTablesVersion = 4;

    explicit HistorySchema(std::shared_ptr<Database> db);

    // Applies the schema if the user version is below 1, adds what later
    // versions added, sets the current version and marks the file with
    // nerivane's application id. Throws.
    void prepareSchema();

    // Whether the periods table has the lookup columns: a file of version 1
    // opened for reading alone does not, and reads them as none.
    bool hasLookupColumns() const;
    // Whether the tables have the traffic and busy columns (version 3).
    bool hasLoadColumns() const;
    // Whether the tables are keyed by their primary keys alone (version 4).
    bool hasKeyedTables() const;

    Database& database() const { return *db_; }
    const std::shared_ptr<Database>& sharedDatabase() const { return db_; }

private:
    std::shared_ptr<Database> db_;
    // Asked of the file once.
    mutable std::optional<bool> lookupColumns_;
    mutable std::optional<bool> loadColumns_;
    mutable std::optional<bool> keyedTables_;

    void forget();
};

}  // namespace nerivane
