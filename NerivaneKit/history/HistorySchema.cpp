#include "NerivaneKit/history/HistorySchema.h"

#include "NerivaneKit/history/HistoryFile.h"
#include "NerivaneKit/platform/ApplicationId.h"

namespace nerivane {

using Value = Database::Value;

// Everything the chart reads of a target, by role and start: its week read
// touches neither the table nor the other targets' rows.
const std::string HistorySchema::figuresIndexSQL =
    "CREATE INDEX IF NOT EXISTS aggregates_figures ON aggregates "
    "(role, start, seconds, protocol, sent, lost, late, median, p95);\n";

// Defined after the index, which it includes.
const std::string HistorySchema::schemaScript = R"(PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS periods (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    state TEXT NOT NULL,
    rssi INTEGER,
    PRIMARY KEY (start, seconds)
);
CREATE TABLE IF NOT EXISTS aggregates (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    protocol TEXT NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    late INTEGER NOT NULL,
    median REAL,
    p95 REAL,
    jitter REAL,
    PRIMARY KEY (start, seconds, role, address, protocol)
);
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY,
    kind TEXT NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    start REAL NOT NULL,
    end REAL NOT NULL,
    worst REAL
);
CREATE INDEX IF NOT EXISTS events_start ON events (start);
)" + figuresIndexSQL;

const std::string HistorySchema::lookupColumnsSQL = R"(ALTER TABLE periods ADD COLUMN dns_median REAL;
ALTER TABLE periods ADD COLUMN dns_failures INTEGER;
)";

const std::string HistorySchema::loadColumnsSQL = R"(ALTER TABLE periods ADD COLUMN sent_bytes INTEGER;
ALTER TABLE periods ADD COLUMN received_bytes INTEGER;
ALTER TABLE periods ADD COLUMN peak_sent_bps REAL;
ALTER TABLE periods ADD COLUMN peak_received_bps REAL;
ALTER TABLE aggregates ADD COLUMN busy_upload_median REAL;
ALTER TABLE aggregates ADD COLUMN busy_upload_replies INTEGER;
ALTER TABLE aggregates ADD COLUMN busy_download_median REAL;
ALTER TABLE aggregates ADD COLUMN busy_download_replies INTEGER;
)";

// The two tables of many rows keyed by their primary keys alone: rows are
// read in key order without a second lookup, and the file holds no second
// copy of every key. Same columns and types as before. Aggregates lead with
// the role: the chart reads one target's rows in start order straight from
// the table, and reads of every target take each role's range in turn (see
// rolesCTE), so no index is needed besides the key.
const std::string HistorySchema::keyedTablesSQL = R"(CREATE TABLE periods_keyed (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    state TEXT NOT NULL,
    rssi INTEGER,
    dns_median REAL,
    dns_failures INTEGER,
    sent_bytes INTEGER,
    received_bytes INTEGER,
    peak_sent_bps REAL,
    peak_received_bps REAL,
    PRIMARY KEY (start, seconds)
) WITHOUT ROWID;
INSERT INTO periods_keyed SELECT start, seconds, state, rssi, dns_median, dns_failures, sent_bytes, received_bytes,
    peak_sent_bps, peak_received_bps FROM periods ORDER BY start, seconds;
DROP TABLE periods;
ALTER TABLE periods_keyed RENAME TO periods;
CREATE TABLE aggregates_keyed (
    start INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    role TEXT NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    protocol TEXT NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    late INTEGER NOT NULL,
    median REAL,
    p95 REAL,
    jitter REAL,
    busy_upload_median REAL,
    busy_upload_replies INTEGER,
    busy_download_median REAL,
    busy_download_replies INTEGER,
    PRIMARY KEY (role, start, seconds, address, protocol)
) WITHOUT ROWID;
INSERT INTO aggregates_keyed SELECT start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter,
    busy_upload_median, busy_upload_replies, busy_download_median, busy_download_replies
    FROM aggregates ORDER BY role, start, seconds, address, protocol;
DROP TABLE aggregates;
ALTER TABLE aggregates_keyed RENAME TO aggregates;
)";

HistorySchema::HistorySchema(std::shared_ptr<Database> db) : db_(std::move(db)) {}

void HistorySchema::forget() {
    lookupColumns_.reset();
    loadColumns_.reset();
    keyedTables_.reset();
}

void HistorySchema::prepareSchema() {
    const std::int64_t version = db_->userVersion();
    // The tables of version 1, then every later change in one step; files
    // that lack the chart's index get it with the rebuilt tables.
    if (version < 1) db_->execute(schemaScript);
    forget();
    if (version < HistoryFile::schemaVersion) {
        // The columns, the tables and the version change together, so a
        // failure leaves the file as it was, for the next start to migrate.
        db_->transaction([&] {
            if (!hasLookupColumns()) db_->execute(lookupColumnsSQL);
            if (!hasLoadColumns()) db_->execute(loadColumnsSQL);
            if (version < keyedTablesVersion) db_->execute(keyedTablesSQL);
            db_->execute("PRAGMA user_version = " + std::to_string(HistoryFile::schemaVersion));
        });
        forget();
    }
    // The mark that tells nerivane's files from other programs' databases;
    // files of earlier versions get it here.
    const auto id = db_->query("PRAGMA application_id");
    if (id.empty() || id.front().empty() || id.front().front() != Value::integer(databaseApplicationId))
        db_->execute("PRAGMA application_id = " + std::to_string(databaseApplicationId));
}

bool HistorySchema::hasLoadColumns() const {
    if (loadColumns_) return *loadColumns_;
    const auto rows = db_->query(
        "SELECT (SELECT count(*) FROM pragma_table_info('periods') WHERE name IN "
        "('sent_bytes', 'received_bytes', 'peak_sent_bps', 'peak_received_bps')) + "
        "(SELECT count(*) FROM pragma_table_info('aggregates') WHERE name IN "
        "('busy_upload_median', 'busy_upload_replies', 'busy_download_median', 'busy_download_replies'))");
    loadColumns_ = !rows.empty() && !rows.front().empty() && rows.front().front() == Value::integer(8);
    return *loadColumns_;
}

bool HistorySchema::hasKeyedTables() const {
    if (!keyedTables_) keyedTables_ = db_->userVersion() >= keyedTablesVersion;
    return *keyedTables_;
}

bool HistorySchema::hasLookupColumns() const {
    if (lookupColumns_) return *lookupColumns_;
    const auto rows =
        db_->query("SELECT count(*) FROM pragma_table_info('periods') WHERE name IN ('dns_median', 'dns_failures')");
    lookupColumns_ = !rows.empty() && !rows.front().empty() && rows.front().front() == Value::integer(2);
    return *lookupColumns_;
}

}  // namespace nerivane
