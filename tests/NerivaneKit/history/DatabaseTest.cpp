#include "NerivaneKit/history/Database.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;
using Rows = std::vector<Database::Row>;

TEST(Database, ReusedStatementSeesOnlyItsNewValuesAndEveryColumnTypeReadsBack) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a, b, c, d)");
    const std::string insert = "INSERT INTO t VALUES (?, ?, ?, ?)";
    db.run(insert, {Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()});
    db.run(insert, {Value::real(2.5)});  // shorter: the other parameters must read as NULL
    db.execute("INSERT INTO t VALUES (x'0102', 1, 2, 3)");  // a blob reads as null
    EXPECT_EQ(db.query("SELECT a, b, c, d FROM t ORDER BY rowid"),
              (Rows{{Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()},
                    {Value::real(2.5), Value::null(), Value::null(), Value::null()},
                    {Value::null(), Value::integer(1), Value::integer(2), Value::integer(3)}}));
}

TEST(Database, ErrorsNameTheOperationAndLeaveTheCacheUsable) {
    TempFolder folder;
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a INTEGER NOT NULL)");
    const std::string insert = "INSERT INTO t VALUES (?)";
    for (const auto& [work, prefix, detail] : std::vector<std::tuple<std::function<void()>, std::string, std::string>>{
             {[&] { Database bad(folder.path("no/such/dir/h.sqlite")); }, "open: ", ""},
             {[&] { db.run(insert, {Value::null()}); }, "run: ", "NOT NULL"},
             {[&] { db.query("SELEKT 1"); }, "prepare: ", "syntax error"},
             {[&] { db.execute("CREATE TABLE t (a)"); }, "execute: ", ""},
             // A step that fails inside a query: abs() of the smallest integer overflows.
             {[&] { db.query("SELECT abs(-9223372036854775807 - 1)"); }, "query: ", ""}}) {
        const std::string error = errorOf(work);
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
        EXPECT_NE(error.find(detail), std::string::npos) << error;
    }
    EXPECT_EQ(db.cachedStatementCount(), 2u) << "the insert and the query; not the statement that did not prepare";
    db.run(insert, {Value::integer(4)});  // the same cached statement works again
    EXPECT_EQ(db.query("SELECT count(*) FROM t"), (Rows{{Value::integer(1)}}));
}

}  // namespace
}  // namespace nerivane
