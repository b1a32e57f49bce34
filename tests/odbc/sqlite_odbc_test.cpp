// The ODBC client against a real driver: SQLite's ODBC driver ("SQLite3")
// on a database file made afresh for each test, reached the way the rest of
// the library reaches a server - through SqlConnection and SqlQuery.

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "scoped_variable.h"
#include "sql/odbc_connection.h"
#include "sql/sql_access.h"
#include "sql/sql_error.h"

namespace slotsync::sql {
namespace {

namespace fs = std::filesystem;

// "正在重构数据库" in GBK, and the same text in UTF-8 as hex, the way SQLite
// stores it when the driver was handed the right characters.
constexpr const char* kChineseGbk = "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2";
constexpr const char* kChineseUtf8Hex = "E6ADA3E59CA8E9878DE69E84E695B0E68DAEE5BA93";
// "名称" in GBK, for a column name.
constexpr const char* kNameGbk = "\xC3\xFB\xB3\xC6";

// Debian's SQLite driver has only the narrow ODBC calls; unixODBC turns the
// client's wide calls into them in the codeset of the process locale, and
// SQLite takes UTF-8. (SQL Server's drivers and FreeTDS have the wide calls
// themselves, so the library does not depend on the locale.)
bool UseUtf8Locale() {
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
    if (std::setlocale(LC_CTYPE, name) != nullptr) return true;
  }
  return false;
}

class SqliteOdbcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool utf8 = UseUtf8Locale();
    if (!utf8) GTEST_SKIP() << "no UTF-8 locale for the SQLite driver's narrow calls";
    std::random_device random;
    directory_ = fs::temp_directory_path() /
                 ("slotsync-odbc-" + std::to_string(random()) + "-" + std::to_string(random()));
    fs::create_directories(directory_);
    path_ = (directory_ / "size.db").string();
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

  ConnectionSettings Settings() const {
    return {.server = "", .database = path_, .user = "", .password = "", .driver = "SQLite3"};
  }

  // A statement on its own connection, for checking what other connections
  // can see (that is, what was committed).
  std::string QueryOnce(const std::string& statement) {
    OdbcConnection other(Settings());
    other.Connect();
    const ResultSet result = other.Query(statement);
    if (result.rows.empty() || result.rows[0].empty() || !result.rows[0][0]) return "(none)";
    return *result.rows[0][0];
  }

  fs::path directory_;
  std::string path_;
};

// The layer as the restructure run sets it up: one connection named
// SizeTessera in a SqlAccess.
struct Layer {
  explicit Layer(ConnectionSettings settings)
      : connection(std::string(kSizeConnectionName), MakeOdbcConnection(std::move(settings))) {
    access.Add(connection);
  }
  ~Layer() { access.Remove(connection); }

  void Run(const std::string& statement) {
    SqlQuery query(access, kSizeConnectionName);
    query.SetText(statement);
    query.Execute();
  }

  std::string Scalar(const std::string& statement) {
    SqlQuery query(access, kSizeConnectionName);
    query.SetText(statement);
    query.Open();
    return query.Field(0).AsString();
  }

  SqlAccess access;
  SqlConnection connection;
};

TEST_F(SqliteOdbcTest, ConnectsOnlyWhenTheFirstStatementRuns) {
  Layer layer(Settings());
  SqlQuery query(layer.access, "sizetessera");
  query.SetText("select 1 as One");
  EXPECT_FALSE(layer.connection.IsConnected());
  // SQLite makes the database file when it connects.
  EXPECT_FALSE(fs::exists(path_));
  query.Open();
  EXPECT_TRUE(layer.connection.IsConnected());
  EXPECT_TRUE(fs::exists(path_));
  EXPECT_EQ(1, query.FieldByName("ONE").AsInteger());
}

TEST_F(SqliteOdbcTest, ReadsRowsNullsAndIntegers) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer, Name varchar(40), Qty integer)");
  layer.Run("insert into Sizes values (1, 'S', 2147483647)");
  layer.Run("insert into Sizes values (2, NULL, NULL)");
  layer.Run("insert into Sizes values (3, '', -2147483648)");

  SqlQuery query(layer.access, kSizeConnectionName);
  query.SetText("select Id, Name, Qty from Sizes order by Id");
  query.Open();
  ASSERT_FALSE(query.Empty());
  ASSERT_EQ(3u, query.FieldCount());
  EXPECT_EQ("Id", query.Field(0).Name());
  EXPECT_EQ("Name", query.Field(1).Name());

  struct Expected {
    std::int32_t id;
    std::string name;
    bool nameIsNull;
    std::int32_t qty;
    bool qtyIsNull;
  };
  const Expected expected[] = {
      {1, "S", false, INT_MAX, false},
      {2, "", true, 0, true},
      {3, "", false, INT_MIN, false},
  };
  for (const auto& row : expected) {
    ASSERT_FALSE(query.End());
    SCOPED_TRACE(row.id);
    EXPECT_EQ(row.id, query.FieldByName("Id").AsInteger());
    EXPECT_EQ(row.name, query.FieldByName("Name").AsString());
    EXPECT_EQ(row.nameIsNull, query.FieldByName("Name").IsNull());
    EXPECT_EQ(row.qty, query.FieldByName("Qty").AsInteger());
    EXPECT_EQ(row.qtyIsNull, query.FieldByName("Qty").IsNull());
    query.Next();
  }
  EXPECT_TRUE(query.End());
}

TEST_F(SqliteOdbcTest, ChineseTextRoundTripsAsGbk) {
  Layer layer(Settings());
  layer.Run("create table Notes (Text varchar(40))");
  layer.Run(std::string("insert into Notes values ('") + kChineseGbk + "')");

  SqlQuery query(layer.access, kSizeConnectionName);
  query.SetText(std::string("select Text as ") + kNameGbk + ", hex(Text), length(Text) from Notes");
  query.Open();
  // The same bytes back, under a Chinese column name...
  EXPECT_EQ(kChineseGbk, query.FieldByName(kNameGbk).AsString());
  // ...and the database holds the characters themselves, not the GBK bytes
  // taken for some other encoding (which would round-trip just the same).
  EXPECT_EQ(kChineseUtf8Hex, query.Field(1).AsString());
  EXPECT_EQ(7, query.Field(2).AsInteger());
}

TEST_F(SqliteOdbcTest, LongValuesArriveWhole) {
  Layer layer(Settings());
  // Longer than one SQLGetData piece, in ASCII and in two-byte characters.
  EXPECT_TRUE(std::string(10000, 'x') == layer.Scalar("select printf('%.*c', 10000, 'x')"));
  std::string chinese;
  for (int i = 0; i < 5001; ++i) chinese += "\xCA\xFD";  // "数"
  const std::string read =
      layer.Scalar("select replace(printf('%.*c', 5001, 'x'), 'x', '\xCA\xFD')");
  EXPECT_EQ(chinese.size(), read.size());
  EXPECT_TRUE(chinese == read) << read.substr(0, 40);
}

TEST_F(SqliteOdbcTest, BracesInStringLiteralsComeBackAsWritten) {
  Layer layer(Settings());
  // Inside the SQL literal each quote is doubled.
  EXPECT_EQ("{fn UCASE('a')} {d '2020-01-02'} {",
            layer.Scalar("select '{fn UCASE(''a'')} {d ''2020-01-02''} {'"));
}

TEST_F(SqliteOdbcTest, AFailedStatementReachesTheCallerAndTheConnectionStaysUsable) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");
  SqlQuery query(layer.access, kSizeConnectionName);
  query.SetText("insert into NoSuchTable values (1)");
  try {
    query.Execute();
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("no such table: NoSuchTable"))
        << error.what();
    EXPECT_EQ("HY000", error.SqlState());
    EXPECT_FALSE(error.ConnectionLost());
  }
  EXPECT_THROW(layer.Scalar("select nonsense from"), SqlError);
  EXPECT_FALSE(query.ExecuteIgnoringFailure());

  EXPECT_TRUE(layer.connection.IsConnected());
  layer.Run("insert into Sizes values (7)");
  EXPECT_EQ("7", layer.Scalar("select Id from Sizes"));
}

TEST_F(SqliteOdbcTest, AnUpdateThatMatchesNoRowIsNotAFailure) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");
  // The driver answers SQL_NO_DATA for it.
  EXPECT_NO_THROW(layer.Run("update Sizes set Id = 2 where Id = 1"));
  EXPECT_NO_THROW(layer.Run("delete from Sizes"));
}

TEST_F(SqliteOdbcTest, CommitKeepsRowsAndRollbackUndoesThem) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");

  layer.connection.StartTransaction();
  layer.Run("insert into Sizes values (1)");
  layer.connection.Rollback();
  EXPECT_EQ("0", layer.Scalar("select count(*) from Sizes"));

  layer.connection.StartTransaction();
  layer.Run("insert into Sizes values (2)");
  // Not yet visible to anyone else...
  EXPECT_EQ("0", QueryOnce("select count(*) from Sizes"));
  layer.connection.Commit();
  // ...and kept once committed.
  EXPECT_EQ("2", QueryOnce("select max(Id) from Sizes"));

  // Statements commit by themselves again after the transaction.
  layer.Run("insert into Sizes values (3)");
  EXPECT_EQ("2", QueryOnce("select count(*) from Sizes"));
  layer.connection.StartTransaction();
  layer.Run("insert into Sizes values (4)");
  layer.connection.Rollback();
  layer.Run("insert into Sizes values (5)");
  EXPECT_EQ("3", QueryOnce("select count(*) from Sizes"));
}

TEST_F(SqliteOdbcTest, AFailedStatementLeavesTheTransactionOpen) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");
  layer.connection.StartTransaction();
  layer.Run("insert into Sizes values (1)");
  EXPECT_THROW(layer.Run("insert into NoSuchTable values (1)"), SqlError);
  layer.Run("insert into Sizes values (2)");
  EXPECT_EQ("0", QueryOnce("select count(*) from Sizes"));
  layer.connection.Commit();
  EXPECT_EQ("2", QueryOnce("select count(*) from Sizes"));
}

TEST_F(SqliteOdbcTest, AFailedCommitRaisesAndKeepsNothingOfTheTransaction) {
  Layer layer(Settings());
  // SQLite checks a deferred foreign key at COMMIT, so the commit itself fails.
  layer.Run("pragma foreign_keys = on");
  layer.Run("create table Parent (Id integer primary key)");
  layer.Run(
      "create table Child (ParentId integer references Parent(Id) deferrable initially "
      "deferred)");
  layer.connection.StartTransaction();
  layer.Run("insert into Child values (42)");
  try {
    layer.connection.Commit();
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("FOREIGN KEY")) << error.what();
  }
  EXPECT_TRUE(layer.connection.IsConnected());
  EXPECT_EQ("0", QueryOnce("select count(*) from Child"));
  // Statements commit by themselves again.
  layer.Run("insert into Parent values (1)");
  EXPECT_EQ("1", QueryOnce("select count(*) from Parent"));
  EXPECT_EQ("0", QueryOnce("select count(*) from Child"));
}

TEST_F(SqliteOdbcTest, DisconnectInsideATransactionLosesItsWorkAndDisconnects) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");
  layer.connection.StartTransaction();
  layer.Run("insert into Sizes values (1)");
  // SQLite's driver objects to closing with a transaction open; the error
  // reaches the caller, and the connection is closed all the same.
  try {
    layer.connection.Disconnect();
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_EQ("25000", error.SqlState()) << error.what();
  }
  EXPECT_FALSE(layer.connection.IsConnected());
  EXPECT_EQ("0", QueryOnce("select count(*) from Sizes"));
  // The next statement connects again, with statements committing by
  // themselves; it could not write if the old link still held its lock.
  layer.Run("insert into Sizes values (2)");
  EXPECT_EQ("1", QueryOnce("select count(*) from Sizes"));
}

TEST_F(SqliteOdbcTest, TwoResultsOpenAtOnce) {
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer, Qty integer)");
  for (int id = 1; id <= 3; ++id) {
    layer.Run("insert into Sizes values (" + std::to_string(id) + ", " + std::to_string(id * 10) +
              ")");
  }
  SqlQuery walk(layer.access, kSizeConnectionName);
  walk.SetText("select Id, Qty from Sizes order by Id");
  walk.Open();
  SqlQuery other(layer.access, kSizeConnectionName);
  other.SetText("select count(*) from Sizes");
  other.Open();

  SqlQuery change(layer.access, kSizeConnectionName);
  std::vector<std::int32_t> seen;
  for (; !walk.End(); walk.Next()) {
    const std::int32_t id = walk.FieldByName("Id").AsInteger();
    seen.push_back(walk.FieldByName("Qty").AsInteger());
    change.SetText("update Sizes set Qty = Qty + 1000 where Id = " + std::to_string(id));
    change.Execute();
    change.SetText("insert into Sizes values (" + std::to_string(id + 100) + ", 0)");
    change.Execute();
  }
  // The walk saw the rows as they were when it opened.
  EXPECT_EQ((std::vector<std::int32_t>{10, 20, 30}), seen);
  EXPECT_EQ(3, other.Field(0).AsInteger());
  EXPECT_EQ("6", layer.Scalar("select count(*) from Sizes"));
  EXPECT_EQ("1010", layer.Scalar("select Qty from Sizes where Id = 1"));
}

TEST_F(SqliteOdbcTest, FieldsByNameIgnoreCase) {
  Layer layer(Settings());
  SqlQuery query(layer.access, kSizeConnectionName);
  query.SetText("select 5 as SizeCount");
  query.Open();
  EXPECT_EQ(5, query.FieldByName("sizecount").AsInteger());
  EXPECT_EQ(5, query.FieldByName("SIZECOUNT").AsInteger());
  try {
    query.FieldByName("Missing");
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_STREQ("Field 'Missing' not found", error.what());
  }
}

TEST_F(SqliteOdbcTest, SqliteRunsOneStatementPerCall) {
  // Why the handling of further results is tested through
  // SetFurtherResultsForTesting: this driver refuses batches outright.
  Layer layer(Settings());
  layer.Run("create table Sizes (Id integer)");
  try {
    layer.Run("insert into Sizes values (1); insert into Sizes values (2)");
    FAIL() << "the driver ran a batch; test further results with one instead";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("only one SQL statement"))
        << error.what();
  }
}

TEST_F(SqliteOdbcTest, ConnectFailureCarriesTheDriversMessage) {
  ConnectionSettings settings = Settings();
  settings.database = (directory_ / "no-such-folder" / "size.db").string();
  OdbcConnection connection(settings);
  try {
    connection.Connect();
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_FALSE(error.Diagnostics().empty());
    EXPECT_NE(std::string::npos, std::string(error.what()).find("SQLite")) << error.what();
  }
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_THROW(connection.Query("select 1"), SqlError);
  EXPECT_THROW(connection.StartTransaction(), SqlError);
}

TEST_F(SqliteOdbcTest, ConnectDisconnectAndConnectAgain) {
  OdbcConnection connection(Settings());
  connection.Connect();
  connection.Connect();  // already connected: nothing happens
  connection.Execute("create table Sizes (Id integer)");
  connection.Disconnect();
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_NO_THROW(connection.Disconnect());
  connection.Connect();
  EXPECT_EQ((std::vector<std::string>{"Id"}), connection.Query("select * from Sizes").columns);
}

using testing::ScopedVariable;

TEST_F(SqliteOdbcTest, TheVariableChoosesTheDriverWhenTheSettingsNameNone) {
  ScopedVariable variable(kDriverVariable, "SQLite3");
  ConnectionSettings settings = Settings();
  settings.driver = "";
  OdbcConnection connection(settings);
  connection.Connect();
  EXPECT_EQ("SQLite3", connection.DriverName());
  EXPECT_EQ("1", *connection.Query("select 1").rows.at(0).at(0));
}

TEST_F(SqliteOdbcTest, AVariableNamingNoInstalledDriverFailsClearly) {
  ScopedVariable variable(kDriverVariable, "No Such Driver");
  ConnectionSettings settings = Settings();
  settings.driver = "";
  OdbcConnection connection(settings);
  try {
    connection.Connect();
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("No Such Driver")) << error.what();
  }
  EXPECT_FALSE(connection.IsConnected());
}

}  // namespace
}  // namespace slotsync::sql
