#include "NerivaneKit/history/Database.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;
using Rows = std::vector<Database::Row>;

TEST(Database, FileKeepsItsRowsAndAMissingFolderFailsToOpen) {
    TempFolder folder;
    {
        Database file(folder.path("h.sqlite"));
        file.execute("CREATE TABLE t (a TEXT)");
        file.run("INSERT INTO t VALUES (?)", {Value::text("kept")});
    }
    EXPECT_EQ(Database(folder.path("h.sqlite")).query("SELECT a FROM t"), (Rows{{Value::text("kept")}}));

    const std::string missing = errorOf([&] { Database bad(folder.path("no/such/dir/h.sqlite")); });
    EXPECT_EQ(missing.rfind("open: ", 0), 0u) << missing;
}

TEST(Database, ReusedStatementSeesOnlyItsNewValuesAndEveryColumnTypeReadsBack) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a, b, c, d)");
    const std::string insert = "INSERT INTO t VALUES (?, ?, ?, ?)";
    db.run(insert, {Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()});
    db.run(insert, {Value::real(2.5)});  // shorter: the other parameters must read as NULL
    EXPECT_EQ(db.cachedStatementCount(), 1u);
    db.execute("INSERT INTO t VALUES (x'0102', 1, 2, 3)");
    // The blob of the last row reads as null.
    EXPECT_EQ(db.query("SELECT a, b, c, d FROM t ORDER BY rowid"),
              (Rows{{Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()},
                    {Value::real(2.5), Value::null(), Value::null(), Value::null()},
                    {Value::null(), Value::integer(1), Value::integer(2), Value::integer(3)}}));
    EXPECT_TRUE(db.query("SELECT a FROM t WHERE 0").empty());
}

TEST(Database, ErrorsCarryTheOperationAndLeaveTheCacheUsable) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a INTEGER NOT NULL)");
    const std::string insert = "INSERT INTO t VALUES (?)";
    const std::string failed = errorOf([&] { db.run(insert, {Value::null()}); });
    EXPECT_EQ(failed.rfind("run: ", 0), 0u) << failed;
    EXPECT_NE(failed.find("NOT NULL"), std::string::npos) << failed;
    db.run(insert, {Value::integer(4)});  // the same cached statement works again
    EXPECT_EQ(db.query("SELECT count(*) FROM t"), (Rows{{Value::integer(1)}}));

    const std::size_t cached = db.cachedStatementCount();
    const std::string syntax = errorOf([&] { db.query("SELEKT 1"); });
    EXPECT_EQ(syntax.rfind("prepare: ", 0), 0u) << syntax;
    EXPECT_NE(syntax.find("syntax error"), std::string::npos) << syntax;
    EXPECT_EQ(db.cachedStatementCount(), cached);

    EXPECT_EQ(errorOf([&] { db.execute("CREATE TABLE t (a)"); }).rfind("execute: ", 0), 0u);
    // A step that fails inside a query: abs() of the smallest integer overflows.
    const std::string overflow = errorOf([&] { db.query("SELECT abs(-9223372036854775807 - 1)"); });
    EXPECT_EQ(overflow.rfind("query: ", 0), 0u) << overflow;
}

}  // namespace
}  // namespace nerivane
