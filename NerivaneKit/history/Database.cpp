#include "NerivaneKit/history/Database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>

namespace nerivane {

void Database::Closer::operator()(sqlite3* handle) const { sqlite3_close(handle); }
void Database::Finalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

namespace {

// A "file:" URI naming path, with every byte that could end the path or start
// a parameter escaped.
std::string fileURI(const std::string& path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += digits[c >> 4];
            uri += digits[c & 15];
        }
    }
    return uri;
}

}  // namespace

Database::Database(const std::optional<std::string>& path, Access access) {
    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    std::string name = path ? *path : ":memory:";
    if (access == Access::readWrite) {
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    } else {
        // Without a write-ahead log beside it, no writer is at work and the
        // file holds everything: read it as immutable, or SQLite would leave
        // an empty log and its index behind. With a log, read through it.
        flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
        struct stat status {};
        const bool logged = path && ::lstat((*path + "-wal").c_str(), &status) == 0;
        name = fileURI(name) + (logged ? "?mode=ro" : "?mode=ro&immutable=1");
    }
    const int result = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
    if (result != SQLITE_OK) {
        std::string text = raw ? sqlite3_errmsg(raw) : "status " + std::to_string(result);
        sqlite3_close(raw);
        throw Error("open: " + text);
    }
    handle_.reset(raw);
    // A reader (nerivane-history) or a checkpoint briefly holding the file
    // makes a write wait rather than fail at once.
    sqlite3_busy_timeout(raw, busyMilliseconds);
    // Only statements of this program can call it, never a view or trigger of the file.
    if (sqlite3_create_function_v2(raw, rowsFunction, -1, SQLITE_UTF8 | SQLITE_DIRECTONLY, this, nullptr, &scannedRow,
                                   &scanFinished, nullptr) != SQLITE_OK)
        throw Error("open: " + message());
}

Database::~Database() = default;

std::string Database::message() const { return sqlite3_errmsg(handle_.get()); }

void Database::execute(const std::string& sql) {
    if (sqlite3_exec(handle_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw Error("execute: " + message());
}

void Database::transaction(const std::function<void()>& work) {
    execute("BEGIN IMMEDIATE");
    try {
        work();
        execute("COMMIT");
    } catch (...) {
        try {
            execute("ROLLBACK");
        } catch (const Error&) {
        }
        throw;
    }
}

sqlite3_stmt* Database::prepare(const std::string& sql, const std::vector<Value>& values) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        sqlite3_stmt* raw = nullptr;
        const int result = sqlite3_prepare_v2(handle_.get(), sql.c_str(), -1, &raw, nullptr);
        if (result != SQLITE_OK || raw == nullptr) {
            // Read the message before finalizing, which could replace it.
            std::string text = message();
            sqlite3_finalize(raw);
            throw Error("prepare: " + text);
        }
        found = statements_.emplace(sql, std::unique_ptr<sqlite3_stmt, Finalizer>(raw)).first;
    }
    sqlite3_stmt* statement = found->second.get();
    // A reused statement must never see values of its previous use.
    sqlite3_clear_bindings(statement);
    bind(statement, values);
    return statement;
}

void Database::bind(sqlite3_stmt* statement, const std::vector<Value>& values) {
    int index = 1;
    for (const Value& value : values) {
        if (auto* integer = value.asInteger()) sqlite3_bind_int64(statement, index, *integer);
        else if (auto* real = value.asReal()) sqlite3_bind_double(statement, index, *real);
        else if (auto* text = value.asText()) sqlite3_bind_text(statement, index, text->c_str(), -1, SQLITE_TRANSIENT);
        else sqlite3_bind_null(statement, index);
        ++index;
    }
}

void Database::Statement::Finalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Database::Statement::Statement(Database& db, const std::string& sql, const std::vector<Value>& values) : db_(&db) {
    sqlite3_stmt* raw = nullptr;
    const int result = sqlite3_prepare_v2(db.handle_.get(), sql.c_str(), -1, &raw, nullptr);
    statement_.reset(raw);
    if (result != SQLITE_OK || raw == nullptr) throw Error("prepare: " + db.message());
    bind(raw, values);
}

bool Database::Statement::next() {
    const int result = sqlite3_step(statement_.get());
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) throw Error("query: " + db_->message());
    return false;
}

void Database::run(const std::string& sql, const std::vector<Value>& values) {
    sqlite3_stmt* statement = prepare(sql, values);
    if (sqlite3_step(statement) != SQLITE_DONE) {
        std::string text = message();
        sqlite3_reset(statement);
        throw Error("run: " + text);
    }
    sqlite3_reset(statement);
}

int Database::Cursor::columnCount() const { return values_ ? count_ : sqlite3_column_count(statement_); }

sqlite3_value* Database::Cursor::at(int column) const {
    return values_ ? values_[column] : sqlite3_column_value(statement_, column);
}

Database::Value Database::Cursor::value(int column) const {
    if (!values_) {
        switch (sqlite3_column_type(statement_, column)) {
        case SQLITE_INTEGER: return Value::integer(sqlite3_column_int64(statement_, column));
        case SQLITE_FLOAT: return Value::real(sqlite3_column_double(statement_, column));
        case SQLITE_TEXT: {
            auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
            return text ? Value::text(text) : Value::null();
        }
        default: return Value::null();
        }
    }
    sqlite3_value* value = values_[column];
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: return Value::integer(sqlite3_value_int64(value));
    case SQLITE_FLOAT: return Value::real(sqlite3_value_double(value));
    case SQLITE_TEXT: {
        auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        return text ? Value::text(text) : Value::null();
    }
    default: return Value::null();
    }
}

// Through the column's value: one call into SQLite per column, not two.
std::optional<std::int64_t> Database::Cursor::integer(int column) const {
    sqlite3_value* value = at(column);
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: return sqlite3_value_int64(value);
    case SQLITE_FLOAT: {
        const double real = sqlite3_value_double(value);
        // The limits of a double that converts to 64 bits without overflow.
        if (std::isfinite(real) && real >= -9223372036854775808.0 && real < 9223372036854775808.0)
            return static_cast<std::int64_t>(real);
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

std::optional<double> Database::Cursor::real(int column) const {
    sqlite3_value* value = at(column);
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: return static_cast<double>(sqlite3_value_int64(value));
    case SQLITE_FLOAT: return sqlite3_value_double(value);
    default: return std::nullopt;
    }
}

std::optional<std::string_view> Database::Cursor::text(int column) const {
    sqlite3_value* value = at(column);
    if (sqlite3_value_type(value) != SQLITE_TEXT) return std::nullopt;
    auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    if (!text) return std::nullopt;
    // Up to the first NUL, as a C string reads; the length saves the search
    // for it when the text holds none.
    const std::string_view whole(text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
    return whole.substr(0, whole.find('\0'));
}

void Database::scannedRow(sqlite3_context* context, int count, sqlite3_value** values) {
    auto* db = static_cast<Database*>(sqlite3_user_data(context));
    RowSink* sink = db->sink_;
    if (!sink) {
        sqlite3_result_error(context, "rows scanned outside a scan", -1);
        return;
    }
    // No exception may cross SQLite's frames: keep it, stop the statement,
    // rethrow once stepping has returned.
    try {
        sink->call(sink->target, Cursor(values, count));
    } catch (...) {
        sink->failure = std::current_exception();
        sqlite3_result_error(context, "a scanned row was refused", -1);
    }
}

void Database::scanFinished(sqlite3_context* context) { sqlite3_result_null(context); }

void Database::scanStatement(sqlite3_stmt* statement, RowSink sink) {
    RowSink* previous = sink_;
    sink_ = &sink;
    try {
        while (step(statement)) {
        }
    } catch (const Error&) {
        sink_ = previous;
        if (sink.failure) std::rethrow_exception(sink.failure);
        throw;
    }
    sink_ = previous;
}

bool Database::step(sqlite3_stmt* statement) {
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) {
        std::string text = message();
        sqlite3_reset(statement);
        throw Error("query: " + text);
    }
    sqlite3_reset(statement);
    return false;
}

std::vector<Database::Row> Database::query(const std::string& sql, const std::vector<Value>& values) {
    std::vector<Row> rows;
    each(sql, values, [&](const Cursor& cursor) {
        const int count = cursor.columnCount();
        Row row;
        row.reserve(static_cast<std::size_t>(count));
        for (int column = 0; column < count; ++column) row.push_back(cursor.value(column));
        rows.push_back(std::move(row));
    });
    return rows;
}

std::int64_t Database::userVersion() {
    try {
        auto rows = query("PRAGMA user_version");
        if (rows.empty() || rows.front().empty()) return 0;
        const Value& value = rows.front().front();
        if (auto* integer = value.asInteger()) return *integer;
        if (auto* real = value.asReal()) {
            // Truncate toward zero; a value without an integer twin reads as 0.
            if (!std::isfinite(*real) || std::fabs(*real) >= 9.2e18) return 0;
            return static_cast<std::int64_t>(*real);
        }
        return 0;
    } catch (const Error&) {
        return 0;
    }
}

void Database::setUserVersion(std::int64_t version) {
    try {
        execute("PRAGMA user_version = " + std::to_string(version));
    } catch (const Error&) {
    }
}

}  // namespace nerivane
