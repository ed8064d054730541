// One SQLite connection with a cache of prepared statements keyed by their
// exact SQL text. Shared by the history writer and its queries; used only on the
// history queue, one thread at a time: the connection is opened without
// SQLite's own mutexes and nothing here is locked.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_context;
struct sqlite3_stmt;
struct sqlite3_value;

namespace nerivane {

class Database {
public:
    // A parameter or a result column. Two nulls are equal; reals compare as
    // floating-point numbers.
    struct Value {
        struct Null {
            bool operator==(const Null&) const = default;
        };
        std::variant<Null, std::int64_t, double, std::string> payload;

        static Value integer(std::int64_t value) { return Value{value}; }
        static Value real(double value) { return Value{value}; }
        static Value text(std::string value) { return Value{std::move(value)}; }
        static Value null() { return Value{Null{}}; }

        bool isNull() const { return std::holds_alternative<Null>(payload); }
        const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&payload); }
        const double* asReal() const { return std::get_if<double>(&payload); }
        const std::string* asText() const { return std::get_if<std::string>(&payload); }

        bool operator==(const Value&) const = default;
    };
    using Row = std::vector<Value>;

    // The only error of the storage layer: the failed operation ("open",
    // "execute", "prepare", "run", "query"), ": ", then SQLite's message.
    class Error : public std::runtime_error {
    public:
        explicit Error(const std::string& description) : std::runtime_error(description) {}
        std::string description() const { return what(); }
    };

    // How long a statement waits for a lock held by another connection.
    static constexpr int busyMilliseconds = 5000;

    enum class Access {
        // Creates the file when missing.
        readWrite,
        // Writes nothing, not even the write-ahead log or its index when no
        // writer left them: the file is then read as it stands.
        readOnly,
    };

    // Opens the file at path, never through a symbolic link as its last part,
    // or an in-memory database without a path. Throws "open: ..." on failure.
    explicit Database(const std::optional<std::string>& path, Access access = Access::readWrite);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // The current row of a statement being stepped by each(); valid only
    // inside the call it is handed to.
    class Cursor {
    public:
        int columnCount() const;
        // The column as query() would return it.
        Value value(int column) const;
        // The column read in place, without a Value: an integer as it is and
        // a finite real within 64 bits truncated toward zero; none for text,
        // blobs and NULL.
        std::optional<std::int64_t> integer(int column) const;
        // An integer or a real as a double; none for anything else.
        std::optional<double> real(int column) const;
        // A text up to its first NUL, valid until the cursor moves on; none
        // for anything else.
        std::optional<std::string_view> text(int column) const;

    private:
        friend class Database;
        explicit Cursor(sqlite3_stmt* statement) : statement_(statement) {}
        Cursor(sqlite3_value** values, int count) : values_(values), count_(count) {}
        sqlite3_value* at(int column) const;
        sqlite3_stmt* statement_ = nullptr;
        // A row handed to rowsFunction: its arguments, not a statement's columns.
        sqlite3_value** values_ = nullptr;
        int count_ = 0;
    };

    // A statement of its own, outside the cache, stepped on demand: for reads
    // that step several statements at once. Finalized when dropped.
    class Statement {
    public:
        Statement(Database& db, const std::string& sql, const std::vector<Value>& values = {});
        // Steps once: true with a row, false at the end. Throws "query: ...".
        bool next();
        // The current row; valid until the next step.
        Cursor cursor() const { return Cursor(statement_.get()); }

    private:
        struct Finalizer {
            void operator()(sqlite3_stmt* statement) const;
        };
        Database* db_;
        std::unique_ptr<sqlite3_stmt, Finalizer> statement_;
    };

    // One or more statements without parameters or results.
    void execute(const std::string& sql);
    // Runs work inside "BEGIN IMMEDIATE" ... "COMMIT"; on failure rolls back
    // (ignoring a failing rollback) and rethrows the first error.
    void transaction(const std::function<void()>& work);
    // The cached (or newly prepared) statement for sql with bindings cleared
    // and values bound to parameters 1...n. The caller steps and resets it.
    sqlite3_stmt* prepare(const std::string& sql, const std::vector<Value>& values = {});
    // Prepare, step once, require completion, reset.
    void run(const std::string& sql, const std::vector<Value>& values = {});
    std::vector<Row> query(const std::string& sql, const std::vector<Value>& values = {});
    // Hands each result row to onRow as it is stepped, without collecting
    // the rows: for reads of many rows. Throws like query().
    template <class F>
    void each(const std::string& sql, const std::vector<Value>& values, F&& onRow) {
        sqlite3_stmt* statement = prepare(sql, values);
        while (step(statement)) onRow(Cursor(statement));
    }

    // The SQL function through which scan() receives rows, called with the
    // columns to read as its arguments.
    static constexpr const char* rowsFunction = "scanned_row";
    // Hands each row of sql, a single "SELECT scanned_row(columns) FROM ..."
    // without GROUP BY or ORDER BY, to onRow in the order SQLite scans them.
    // Unlike each(), the columns reach onRow without a result row per row
    // or a call into SQLite per column: for reads of many thousand rows.
    // Throws like query(); an exception of onRow ends the read and is
    // rethrown.
    template <class F>
    void scan(const std::string& sql, const std::vector<Value>& values, F&& onRow) {
        using Reader = std::remove_reference_t<F>;
        auto call = [](void* target, const Cursor& row) { (*static_cast<Reader*>(target))(row); };
        scanStatement(prepare(sql, values), RowSink{const_cast<void*>(static_cast<const void*>(&onRow)), call, {}});
    }

    // 0 when it cannot be read; never throws.
    std::int64_t userVersion();
    // Failures are ignored.
    void setUserVersion(std::int64_t version);

    // Number of cached statements (for tests of the cache behaviour).
    std::size_t cachedStatementCount() const { return statements_.size(); }

private:
    struct Closer {
        void operator()(sqlite3* handle) const;
    };
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const;
    };

    // Where rowsFunction sends its rows during scan(), and what it caught.
    struct RowSink {
        void* target = nullptr;
        void (*call)(void* target, const Cursor& row) = nullptr;
        std::exception_ptr failure;
    };
    static void scannedRow(sqlite3_context* context, int count, sqlite3_value** values);
    static void scanFinished(sqlite3_context* context);
    void scanStatement(sqlite3_stmt* statement, RowSink sink);

    std::string message() const;
    static void bind(sqlite3_stmt* statement, const std::vector<Value>& values);
    // Steps once: true with a row, false (reset) at the end; throws "query:
    // ..." (reset) on failure.
    bool step(sqlite3_stmt* statement);

    // Declared before the statements so they are finalized before it closes.
    std::unique_ptr<sqlite3, Closer> handle_;
    std::unordered_map<std::string, std::unique_ptr<sqlite3_stmt, Finalizer>> statements_;
    RowSink* sink_ = nullptr;
};

}  // namespace nerivane
