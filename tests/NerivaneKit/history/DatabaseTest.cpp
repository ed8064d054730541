#include "NerivaneKit/history/Database.h"

#include <gtest/gtest.h>

#include "NerivaneKit/history/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;

std::string errorOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const Database::Error& error) {
        return error.description();
    }
    return "(no error)";
}

TEST(Database, InMemoryAndFileOpen) {
    Database memory(std::nullopt);
    memory.execute("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7)");
    EXPECT_EQ(memory.query("SELECT a FROM t"), (std::vector<Database::Row>{{Value::integer(7)}}));

    TempFolder folder;
    {
        Database file(folder.path("h.sqlite"));
        file.execute("CREATE TABLE t (a TEXT)");
        file.run("INSERT INTO t VALUES (?)", {Value::text("kept")});
    }
    Database again(folder.path("h.sqlite"));
    EXPECT_EQ(again.query("SELECT a FROM t"), (std::vector<Database::Row>{{Value::text("kept")}}));

    const std::string missing = errorOf([&] { Database bad(folder.path("no/such/dir/h.sqlite")); });
    EXPECT_EQ(missing.rfind("open: ", 0), 0u) << missing;
}

TEST(Database, ReusedStatementSeesOnlyItsNewValues) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a, b)");
    const std::string insert = "INSERT INTO t VALUES (?, ?)";
    db.run(insert, {Value::integer(1), Value::text("x")});
    db.run(insert, {Value::real(2.5)});  // shorter: the second parameter must read as NULL
    EXPECT_EQ(db.cachedStatementCount(), 1u);
    auto rows = db.query("SELECT a, b FROM t ORDER BY rowid");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Database::Row{Value::integer(1), Value::text("x")}));
    EXPECT_EQ(rows[1], (Database::Row{Value::real(2.5), Value::null()}));
}

TEST(Database, ColumnTypesAndEmptyResults) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a, b, c, d)");
    db.run("INSERT INTO t VALUES (?, ?, ?, ?)", {Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()});
    db.execute("INSERT INTO t VALUES (x'0102', 1, 2, 3)");
    auto rows = db.query("SELECT a, b, c, d FROM t ORDER BY rowid");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Database::Row{Value::integer(-3), Value::real(0.25), Value::text("ü,\"x"), Value::null()}));
    EXPECT_TRUE(rows[1][0].isNull()) << "a blob reads as null";
    EXPECT_TRUE(db.query("SELECT a FROM t WHERE 0").empty());
    // A statement without columns yields rows without values.
    db.execute("CREATE TABLE e (x)");
    EXPECT_TRUE(db.query("SELECT * FROM e").empty());
}

TEST(Database, ErrorsCarryTheOperationAndLeaveTheCacheUsable) {
    Database db(std::nullopt);
    db.execute("CREATE TABLE t (a INTEGER NOT NULL)");
    const std::string insert = "INSERT INTO t VALUES (?)";
    const std::string failed = errorOf([&] { db.run(insert, {Value::null()}); });
    EXPECT_EQ(failed.rfind("run: ", 0), 0u) << failed;
    EXPECT_NE(failed.find("NOT NULL"), std::string::npos) << failed;
    db.run(insert, {Value::integer(4)});  // the same cached statement works again
    EXPECT_EQ(db.query("SELECT count(*) FROM t"), (std::vector<Database::Row>{{Value::integer(1)}}));

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

TEST(Database, UserVersion) {
    Database db(std::nullopt);
    EXPECT_EQ(db.userVersion(), 0);
    db.setUserVersion(1);
    EXPECT_EQ(db.userVersion(), 1);
}

}  // namespace
}  // namespace nerivane
