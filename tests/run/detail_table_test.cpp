#include "rebuild/detail_table.h"

#include <algorithm>

#include "dictionary/dictionary_guard.h"
#include "entry/run_cancel.h"
#include "run_fixture.h"
#include "scenarios.h"
#include "sql/sql_error.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::testing {
namespace {

using Log = std::vector<std::string>;

class RecordingNotices final : public ui::NoticeBox {
 public:
  int ShowNotice(const std::string& text, unsigned flags) override {
    shown.emplace_back(text, flags);
    return ui::kNoticeOk;
  }
  std::vector<std::pair<std::string, unsigned>> shown;
};

class DetailTable : public ::testing::Test {
 protected:
  Script script;
  RecordingNotices notices;
  sql::SqlConnection connection{"SizeTessera", std::make_unique<ScriptedConnection>(script)};
  sql::SqlAccess access;
  void SetUp() override { access.Add(connection); }

  bool Rebuild(const DetailScenario& scenario) {
    scenario.Apply(script);
    return rebuild::RebuildDetailTable(access, notices, scenario.tag);
  }
  Log Executed() const {
    Log executed;
    for (const auto& entry : script.Log()) {
      if (entry.starts_with("EXEC ")) executed.push_back(entry.substr(5));
    }
    return executed;
  }
  // The create statement of the work copy.
  std::string CreateOfCopy() const {
    for (const auto& statement : Executed()) {
      if (statement.starts_with("Create Table dbo.Tmp_")) return statement;
    }
    return {};
  }
  std::string CopyStatement() const {
    for (const auto& statement : Executed()) {
      if (statement.starts_with("Insert into")) return statement;
    }
    return {};
  }
};

const std::string kDrop =
    "if exists (select * from dbo.sysobjects where id = object_id(N'%s') ) Drop Table %s";

TEST_F(DetailTable, RebuildsAPlainDetailTableStatementByStatement) {
  EXPECT_TRUE(Rebuild(DetailScenario{}));
  const std::string tmpl =
      "Create Table %s(DetailID Varchar(40) Not Null Default NewID(),IndexNo int Null,BillID "
      "Varchar(20),StoreCode Varchar(20),BoxQty int Null,[x_1] Integer Null,[x_2] Integer "
      "Null,[x_3] Integer Null,Price Money Null,Amount Money Null,[Memo] Varchar(30) Null, "
      "SizeIndex Integer Null,SizeStr Varchar(100) Null)";
  const auto create = [&](const std::string& name) {
    std::string text = tmpl;
    text.replace(text.find("%s"), 2, name);
    return "EXEC " + text;
  };
  const std::string copyList =
      "DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,Amount,SizeIndex,SizeStr,x_1,x_2";
  // The reads, the table locked before its columns and dependents are read
  // so that none can be added unseen; then the writes.
  Log expected = DetailScenario::Reads();
  expected.insert(expected.begin() + 1,
                  "OPEN Select Count(*) From StockDetail With (TabLockX, HoldLock)");
  const Log writes = {
      "EXEC " + sql::Format(kDrop, "dbo.Tmp_StockDetail", "dbo.Tmp_StockDetail"),
      create("dbo.Tmp_StockDetail"),
      "EXEC " + sql::Format(kDrop, "StockDetail_U", "StockDetail_U"),
      create("StockDetail_U"),
      "EXEC Alter Table StockDetail_U Add Primary Key (DetailID)",
      "EXEC " + sql::Format(kDrop, "StockDetail_I", "StockDetail_I"),
      create("StockDetail_I"),
      "EXEC Alter Table StockDetail_I Add Primary Key (DetailID)",
      "EXEC " + sql::Format(kDrop, "StockDetail_D", "StockDetail_D"),
      create("StockDetail_D"),
      "EXEC Alter Table StockDetail_D Add Primary Key (DetailID)",
      "EXEC Insert into dbo.Tmp_StockDetail(" + copyList + ") Select " + copyList +
          " from StockDetail ",
      "OPEN Select Count(*) From dbo.Tmp_StockDetail",
      "EXEC Drop Table StockDetail",
      "EXEC sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'",
      "EXEC Alter Table StockDetail Add Primary Key (DetailID)",
      "OPEN Select * from syscolumns where name='VersionNo' and id=object_id('Parameter')",
      "EXEC Update StockDetail Set SizeStr=SizeStr+'.0' Where SizeStr is Not Null and "
      "SizeStr<>''",
      "EXEC Exec CreateInvoiceDetailTrigger 10",
      "EXEC Update S_Modify Set Modified=0 Where TableTag=10",
  };
  expected.insert(expected.end(), writes.begin(), writes.end());
  EXPECT_EQ(script.Statements(), expected);
  EXPECT_TRUE(notices.shown.empty());
}

TEST_F(DetailTable, TemplateShapes) {
  struct Case {
    const char* name;
    std::function<void(DetailScenario&)> change;
    std::string create;  // the work copy's create statement
  };
  const std::string key =
      "Create Table dbo.Tmp_StockDetail(DetailID Varchar(40) Not Null Default "
      "NewID(),IndexNo int Null,";
  const std::string slots = "[x_1] Integer Null,[x_2] Integer Null,[x_3] Integer Null,";
  const std::string closing = " SizeIndex Integer Null,SizeStr Varchar(100) Null)";
  const std::string memo = "[Memo] Varchar(30) Null,";
  const Case cases[] = {
      {"TableTag 21: free fields and its extra columns", [](DetailScenario& s) { s.tag = 21; },
       key +
           "BillID Varchar(20),StoreCode Varchar(20),Field1 Varchar(50) Null,Field2 Varchar(50) "
           "Null,Field3 Varchar(50) Null,Field4 Varchar(50) Null,Field5 Varchar(50) Null,Field6 "
           "Varchar(50) Null,Field7 Varchar(50) Null,Field8 Varchar(50) Null,Field9 Varchar(50) "
           "Null,BoxQty int Null," +
           slots +
           "Price Money Null,Amount Money Null,StuffPrice Money Null,StuffAmount Money "
           "Null,OrderNo Varchar(20) Null,DeliveryDate Datetime Null,CustCode Varchar(20) "
           "Null,CancelFlag bit Not Null Default(0)," +
           memo + closing},
      {"TableTag 39: no extra columns and no Memo", [](DetailScenario& s) { s.tag = 39; },
       key + "BillID Varchar(20),StoreCode Varchar(20),BoxQty int Null," + slots +
           "Price Money Null,Amount Money Null," + closing},
      {"TableTag 31", [](DetailScenario& s) { s.tag = 31; },
       key + "BillID Varchar(20),StoreCode Varchar(20),BoxQty int Null," + slots +
           "Price Money Null,Amount Money Null,ExchangeProfit Money Null,ExchangePeriod Int "
           "Null,SalesOrderID Varchar(20) Null," +
           memo + closing},
      {"FieldFrom 0", [](DetailScenario& s) { s.fieldFrom = "0"; },
       key + "BoxQty int Null," + slots + "Price Money Null,Amount Money Null," + memo + closing},
      {"FieldFrom negative", [](DetailScenario& s) { s.fieldFrom = "-3"; },
       key + "BoxQty int Null," + slots + "Price Money Null,Amount Money Null," + memo + closing},
      {"FieldFrom NULL", [](DetailScenario& s) { s.fieldFrom = std::nullopt; },
       key + "BoxQty int Null," + slots + "Price Money Null,Amount Money Null," + memo + closing},
      {"dictionary table starting with the key column: offset 2",
       [](DetailScenario& s) {
         s.dictionaryColumns = {"detailid", "Kind", "BillID", "StoreCode"};
       },
       key + "BillID Varchar(20),StoreCode Varchar(20),BoxQty int Null," + slots +
           "Price Money Null,Amount Money Null," + memo + closing},
      {"N = 0: no box and no slot columns",
       [](DetailScenario& s) {
         s.n = 0;
         s.sizeText = std::nullopt;
       },
       key + "BillID Varchar(20),StoreCode Varchar(20),Price Money Null,Amount Money Null," + memo +
           closing},
      {"a CreateField without ';' gives no value column",
       [](DetailScenario& s) { s.createField = "Price"; },
       key + "BillID Varchar(20),StoreCode Varchar(20)," + slots + memo + closing},
      {"boxqty in another case is an ordinary value column",
       [](DetailScenario& s) { s.createField = "boxqty;"; },
       key + "BillID Varchar(20),StoreCode Varchar(20)," + slots + "boxqty Money Null," + memo +
           closing},
  };
  for (const auto& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    DetailScenario scenario;
    c.change(scenario);
    EXPECT_TRUE(Rebuild(scenario)) << c.name;
    EXPECT_EQ(CreateOfCopy(), c.create) << c.name;
  }
}

TEST_F(DetailTable, TableTags27And35AreNeverTouched) {
  for (const std::int32_t tag : {27, 35}) {
    DetailScenario scenario;
    scenario.tag = tag;
    EXPECT_FALSE(Rebuild(scenario));
    EXPECT_TRUE(script.Log().empty());
  }
}

TEST_F(DetailTable, CopiesTheSlotColumnsTheOldTableHas) {
  DetailScenario scenario;
  scenario.n = 4;
  scenario.sizeText = "0.0";
  EXPECT_TRUE(Rebuild(scenario));
  // M = 2 < N = 4: only x_1 and x_2 are copied; the new slots start empty.
  EXPECT_EQ(CopyStatement(),
            "Insert into dbo.Tmp_StockDetail(DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,"
            "Amount,SizeIndex,SizeStr,x_1,x_2) Select DetailID,IndexNo,BillID,StoreCode,Price,"
            "BoxQty,Amount,SizeIndex,SizeStr,x_1,x_2 from StockDetail ");
  // N = P + 2: every stored size text grows by two parts.
  EXPECT_NE(std::find(Executed().begin(), Executed().end(),
                      "Update StockDetail Set SizeStr=SizeStr+'.0.0' Where SizeStr is Not Null "
                      "and SizeStr<>''"),
            Executed().end());
}

TEST_F(DetailTable, AFallenSizeCountShowsTheNoticeAndKeepsTheFlag) {
  DetailScenario scenario;
  scenario.n = 2;
  scenario.sizeText = "1.2.3";
  EXPECT_FALSE(Rebuild(scenario));
  ASSERT_EQ(notices.shown.size(), 1u);
  EXPECT_EQ(notices.shown[0].first, rebuild::kSizeDecreaseNotice);
  EXPECT_EQ(notices.shown[0].second, 64u);
  const Log executed = Executed();
  EXPECT_EQ(executed.back(), "Alter Table StockDetail Add Primary Key (DetailID)");
  EXPECT_EQ(script.Log().back(),
            "OPEN Select * from syscolumns where name='VersionNo' and id=object_id('Parameter')");
}

TEST_F(DetailTable, WithoutVersionNoTheTriggerProcedureIsNotCalled) {
  DetailScenario scenario;
  scenario.versionNo = false;
  scenario.sizeText = std::nullopt;  // P = 0: no size-text update either
  EXPECT_TRUE(Rebuild(scenario));
  const Log executed = Executed();
  EXPECT_EQ(executed.back(), "Update S_Modify Set Modified=0 Where TableTag=10");
  EXPECT_EQ(executed[executed.size() - 2], "Alter Table StockDetail Add Primary Key (DetailID)");
}

TEST_F(DetailTable, OnlyTheDropsMayFail) {
  DetailScenario scenario;
  script.Fail(sql::Format(kDrop, "dbo.Tmp_StockDetail", "dbo.Tmp_StockDetail"), "no such table");
  script.Fail("Drop Table StockDetail", "Cannot drop the table");
  EXPECT_TRUE(Rebuild(scenario));
  EXPECT_EQ(Executed().back(), "Update S_Modify Set Modified=0 Where TableTag=10");

  Script fresh;
  std::swap(script, fresh);
  script.Fail(
      "Create Table StockDetail_U(DetailID Varchar(40) Not Null Default NewID(),IndexNo int "
      "Null,BillID Varchar(20),StoreCode Varchar(20),BoxQty int Null,[x_1] Integer Null,[x_2] "
      "Integer Null,[x_3] Integer Null,Price Money Null,Amount Money Null,[Memo] Varchar(30) "
      "Null, SizeIndex Integer Null,SizeStr Varchar(100) Null)",
      "There is already an object named 'StockDetail_U' in the database.");
  EXPECT_THROW(Rebuild(scenario), sql::SqlError);
  EXPECT_TRUE(Executed().back().starts_with("Create Table StockDetail_U("));
}

TEST_F(DetailTable, ColumnsThatOnlyLookLikeSlotsAreCopied) {
  DetailScenario scenario;
  scenario.xColumns = {"xRate", "x_1", "x1", "X_2", "x_01"};
  EXPECT_TRUE(Rebuild(scenario));
  EXPECT_EQ(CopyStatement(),
            "Insert into dbo.Tmp_StockDetail(DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,"
            "Amount,SizeIndex,SizeStr,xRate,x1,x_01,x_1) Select DetailID,IndexNo,BillID,StoreCode,"
            "Price,BoxQty,Amount,SizeIndex,SizeStr,xRate,x1,x_01,x_1 from StockDetail ");
}

TEST_F(DetailTable, QuantitiesAboveTheNewCountStopTheRebuildBeforeAnyChange) {
  DetailScenario scenario;
  scenario.n = 2;
  scenario.xColumns = {"x_1", "x_2", "x_3", "x_4"};
  scenario.quantitiesAboveN = "1";
  try {
    Rebuild(scenario);
    FAIL() << "expected a refusal";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "TableTag 10: StockDetail holds quantities in x_3, x_4, above the 2 size slots "
                 "the size groups need now; nothing was changed so that none is lost");
  }
  EXPECT_TRUE(Executed().empty());
  EXPECT_EQ(script.Log().back(), "OPEN Select Count(*) From StockDetail Where x_3<>0 Or x_4<>0");
  // The run shows the notice once it has rolled back and holds no lock.
  EXPECT_TRUE(notices.shown.empty());

  // Empty slots above the new count are dropped as before.
  Script fresh;
  std::swap(script, fresh);
  scenario.quantitiesAboveN = "0";
  scenario.sizeText = std::nullopt;
  EXPECT_TRUE(Rebuild(scenario));
}

TEST_F(DetailTable, RefusalsBeforeAnyStatement) {
  struct Case {
    const char* name;
    std::function<void(DetailScenario&)> change;
    std::string message;
    text::Language language = text::Language::kEnglish;
  };
  const Case cases[] = {
      {"several key columns", [](DetailScenario& s) { s.keyField = "BillID;LineNo;"; },
       "TableTag 10: S_Modify.KeyField 'BillID;LineNo;' names several key columns; a detail "
       "table has one key column"},
      {"several key columns, in Chinese", [](DetailScenario& s) { s.keyField = "BillID;LineNo;"; },
       text::Utf8ToGbk("TableTag 10：S_Modify.KeyField 'BillID;LineNo;' 列出了多个键列；明细表"
                       "只能有一个键列"),
       text::Language::kChinese},
      {"an injected table name", [](DetailScenario& s) { s.tableName = "T;drop table Customer--"; },
       ""},
      {"an injected column type", [](DetailScenario& s) { s.fieldKind = "Money) drop table T--;"; },
       ""},
  };
  for (const auto& c : cases) {
    text::SetMessageLanguage(c.language);
    Script fresh;
    std::swap(script, fresh);
    DetailScenario scenario;
    c.change(scenario);
    try {
      Rebuild(scenario);
      ADD_FAILURE() << c.name;
    } catch (const std::runtime_error& e) {
      if (!c.message.empty()) {
        EXPECT_EQ(e.what(), c.message) << c.name;
      }
    }
    EXPECT_EQ(script.Statements(), Log{"OPEN Select * from S_Modify Where TableTag=10"}) << c.name;
  }
  text::SetMessageLanguage(text::Language::kEnglish);
}

// What the old table and its companions held beyond their columns is made
// again after the trigger procedure: what stands on a dropped column is
// lost and named, the application's own trigger of a name wins. Identities
// stay: a trigger runs as the user it names, a grant is given in its
// grantor's name after the grant that lets the grantor give it, and a check
// calling a function is not run over the copied rows by the run's login.
TEST_F(DetailTable, CarriesWhatTheOldTablesHeldAfterTheTriggerProcedure) {
  DetailScenario scenario;
  scenario.dependents = {
      {"StockDetail",
       {{"A", "Clerk", std::nullopt, "7", "1", "0", std::nullopt, "1"},
        {"A", "Temp", std::nullopt, "8", "0", "0", std::nullopt, "1"},
        {"K", "CK_Box", std::nullopt, "0", "0", "0", "([dbo].[fnBoxOk]([BoxQty])=(1))", "1"},
        {"K", "CK_Memo", std::nullopt, "0", "0", "0", "([Price]>=(0.5) Or [BillID]<>'a.b')", "1"},
        {"I", "IX_Bill", "NONE", "2", "0", "0", std::nullopt, "1"},
        {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"},
        {"I", "UX_Line", "PAGE", "3", "1", "90", "([Price]>(0))", "1"},
        {"IC", "StoreCode", std::nullopt, "3", "1", "1", std::nullopt, "1"},
        {"IC", "IndexNo", std::nullopt, "3", "0", "2", std::nullopt, "1"},
        {"IC", "Amount", std::nullopt, "3", "2", "1001", std::nullopt, "1"},
        {"I", "IX_Slot4", "NONE", "4", "0", "0", std::nullopt, "1"},
        {"IC", "x_4", std::nullopt, "4", "0", "1", std::nullopt, "1"},
        {"P", "SELECT", "ShopRole", "0", "71", "0", std::nullopt, "1"},
        {"P", "DELETE", "ShopRole", "0", "68", "0", std::nullopt, "1"},
        {"P", "UPDATE", "Reporter", "0", "87", "5", "Price", "1"},
        {"P", "SELECT", "Reporter", "0", "71", "9", "x_4", "1"},
        {"P", "SELECT", "Packer", "7", "71", "0", std::nullopt, "1"},
        {"P", "SELECT", "Clerk", "0", "87", "0", std::nullopt, "1"},
        {"P", "INSERT", "Packer", "8", "71", "0", std::nullopt, "1"},
        {"T", "trg_Audit", std::nullopt, "0", "1", "0",
         "CREATE TRIGGER trg_Audit ON StockDetail AFTER DELETE AS INSERT INTO AuditLog SELECT "
         "'deleted', DetailID FROM deleted",
         "1"},
        {"T", "trg_App", std::nullopt, "0", "0", "0", "CREATE TRIGGER trg_App ON StockDetail ...",
         "1"},
        {"T", "trg_Stamp", "Auditor", "0", "16", "0",
         "CREATE TRIGGER trg_Stamp ON StockDetail WITH EXECUTE AS 'Auditor' AFTER INSERT AS "
         "SELECT 1",
         "1"},
        {"T", "trg_Mine", "dbo", "0", "8", "0",
         "CREATE TRIGGER trg_Mine ON StockDetail WITH EXECUTE AS SELF AFTER INSERT AS SELECT 1",
         "1"},
        // What a stopped online run left goes with the old table.
        {"T", "slotsync_online_StockDetail", std::nullopt, "0", "0", "0",
         "CREATE TRIGGER [dbo].[slotsync_online_StockDetail] ON [dbo].[StockDetail] ...", "1"},
        {"E", "MS_Description", std::nullopt, "0", "0", "0", "\xBF\xE2\xB4\xE6\xC3\xF7\xCF\xB8",
         "1"},
        {"X", "PRIMARY", std::nullopt, "0", "64", "0", "PRIMARY", "1"}}},
      {"StockDetail_U",
       {{"P", "SELECT", "ShopRole", "0", "71", "0", std::nullopt, "1"},
        {"T", "trg_U", std::nullopt, "0", "0", "0", "CREATE TRIGGER trg_U ON StockDetail_U", "1"},
        {"X", "PRIMARY", std::nullopt, "0", "64", "0", "PRIMARY", "1"}}}};
  scenario.Apply(script);
  script.Answer("Select Object_ID(N'[dbo].[trg_App]',N'TR')", Column("", {"5575"}));
  rebuild::CarriedCounts carried;
  std::vector<std::string> lost;
  EXPECT_TRUE(rebuild::RebuildDetailTable(
      access, notices, 10, nullptr, nullptr, nullptr,
      [&](const rebuild::CarriedCounts& counts, const std::vector<std::string>& what) {
        carried = counts;
        lost = what;
      }));
  const Log statements = script.Statements();
  const auto trigger =
      std::find(statements.begin(), statements.end(), "EXEC Exec CreateInvoiceDetailTrigger 10");
  ASSERT_NE(trigger, statements.end());
  const Log expected = {
      "EXEC Alter Table [dbo].[StockDetail] With NoCheck Add Constraint [CK_Box] Check "
      "([dbo].[fnBoxOk]([BoxQty])=(1))",
      "EXEC Alter Table [dbo].[StockDetail] Add Constraint [CK_Memo] Check ([Price]>=(0.5) Or "
      "[BillID]<>'a.b')",
      "EXEC Create NonClustered Index [IX_Bill] On [dbo].[StockDetail] ([BillID])",
      "EXEC Create Unique NonClustered Index [UX_Line] On [dbo].[StockDetail] ([StoreCode] Desc, "
      "[IndexNo]) Include ([Amount]) Where ([Price]>(0)) With (FillFactor = 90, Data_Compression "
      "= PAGE)",
      "EXEC Grant SELECT On [dbo].[StockDetail] To [ShopRole]",
      "EXEC Deny DELETE On [dbo].[StockDetail] To [ShopRole]",
      "EXEC Grant UPDATE ([Price]) On [dbo].[StockDetail] To [Reporter] With Grant Option",
      "EXEC Grant SELECT On [dbo].[StockDetail] To [Clerk] With Grant Option",
      "EXEC Grant SELECT On [dbo].[StockDetail] To [Packer] As [Clerk]",
      "EXEC Grant INSERT On [dbo].[StockDetail] To [Packer]",
      "EXEC Exec sys.sp_addextendedproperty @name=N'MS_Description', "
      "@value=N'\xBF\xE2\xB4\xE6\xC3\xF7\xCF\xB8', @level0type=N'SCHEMA', @level0name=N'dbo', "
      "@level1type=N'TABLE', @level1name=N'StockDetail'",
      "OPEN Select Object_ID(N'[dbo].[trg_Audit]',N'TR')",
      "EXEC If Object_ID(N'[dbo].[trg_Audit]',N'TR') Is Null Begin Exec(N'CREATE TRIGGER "
      "trg_Audit ON StockDetail AFTER DELETE AS INSERT INTO AuditLog SELECT ''deleted'', DetailID "
      "FROM deleted') Exec(N'Disable Trigger [dbo].[trg_Audit] On [dbo].[StockDetail]') End",
      "OPEN Select Object_ID(N'[dbo].[trg_App]',N'TR')",
      "OPEN Select Object_ID(N'[dbo].[trg_Stamp]',N'TR')",
      "EXEC If Object_ID(N'[dbo].[trg_Stamp]',N'TR') Is Null Exec(N'CREATE TRIGGER trg_Stamp ON "
      "StockDetail WITH EXECUTE AS ''Auditor'' AFTER INSERT AS SELECT 1')",
      "OPEN Select Object_ID(N'[dbo].[trg_Mine]',N'TR')",
      "EXEC If Object_ID(N'[dbo].[trg_Mine]',N'TR') Is Null Exec(N'CREATE TRIGGER trg_Mine ON "
      "StockDetail WITH EXECUTE AS SELF AFTER INSERT AS SELECT 1')",
      "EXEC Grant SELECT On [dbo].[StockDetail_U] To [ShopRole]",
      "EXEC Update S_Modify Set Modified=0 Where TableTag=10",
  };
  EXPECT_EQ(Log(trigger + 1, statements.end()), expected);
  EXPECT_EQ(rebuild::CarriedText(carried),
            "2 indexes, 2 constraints, 7 permissions, 3 triggers, 1 description carried");
  EXPECT_EQ(lost, (std::vector<std::string>{
                      "the trust of check constraint CK_Box on StockDetail (it calls a function "
                      "that is not built in, which the run would otherwise call for every copied "
                      "row as its own login: carried With NoCheck, and rows written from now on "
                      "are checked; to have the copied rows checked, run ALTER TABLE "
                      "dbo.StockDetail WITH CHECK CHECK CONSTRAINT CK_Box as a user trusted to "
                      "run that function)",
                      "index IX_Slot4 on StockDetail (x_4 is no column of the new table)",
                      "GRANT SELECT on StockDetail.x_4 to Reporter (x_4 is no column of the new "
                      "table)",
                      "the grantor Temp of GRANT INSERT on StockDetail to Packer (the login may "
                      "not give it in the name of Temp, which needs IMPERSONATE on that user, "
                      "ALTER on that role, or db_securityadmin; the run's login becomes its "
                      "grantor)",
                      "trigger trg_App of StockDetail (the application's trigger procedure made "
                      "its own of that name, which stays)",
                      "1 trigger of StockDetail_U (the table is recreated empty and bare by "
                      "design; only its permissions and indexes are carried)"}));
}

// Options go with what they belong to: the table's own compression and lock
// escalation first, index, constraint and trigger options with each. The
// views and inline functions reading the tables are refreshed last, once
// each, after the rename; one that no longer compiles fails the rebuild,
// named, and a lock wait that runs out names the table it waited for.
TEST_F(DetailTable, CarriesOptionsAndRefreshesReadersAfterTheRename) {
  DetailScenario scenario;
  scenario.dependents = {
      {"StockDetail",
       {{"K", "CK_Price", std::nullopt, "0", "8", "0", "([Price]>=(0))", "1"},
        {"I", "IX_Bill", "NONE", "2", "448", "0", std::nullopt, "1"},
        {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"},
        {"F", "FK_Bill", "[dbo].[StockBill]", "0", "8", "0", std::nullopt, "1"},
        {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"},
        {"T", "trg_First", std::nullopt, "0", "0", "0",
         "CREATE TRIGGER trg_First ON StockDetail AFTER INSERT, UPDATE AS SELECT 1", "1"},
        {"TO", "trg_First", "INSERT", "0", "1", "0", std::nullopt, "1"},
        {"TO", "trg_First", "UPDATE", "0", "2", "0", std::nullopt, "1"},
        {"V", "vStock", "dbo", "1", "0", "0", std::nullopt, "1"},
        {"V", "fnStock", "dbo", "2", "0", "0", std::nullopt, "1"},
        {"X", "PRIMARY", std::nullopt, "0", "64", "10", "PRIMARY", "1"}}},
      {"StockDetail_U", {{"V", "vStock", "dbo", "1", "0", "0", std::nullopt, "1"}}}};
  const Log expected = {
      "EXEC Alter Table [dbo].[StockDetail] Rebuild With (Data_Compression = Page)",
      "EXEC Alter Table [dbo].[StockDetail] Set (Lock_Escalation = Auto)",
      "EXEC Alter Table [dbo].[StockDetail] Add Constraint [CK_Price] Check Not For Replication "
      "([Price]>=(0))",
      "EXEC Create NonClustered Index [IX_Bill] On [dbo].[StockDetail] ([BillID]) With "
      "(Statistics_NoRecompute = On, Allow_Row_Locks = Off, Allow_Page_Locks = Off)",
      "OPEN Select Object_ID(N'[dbo].[trg_First]',N'TR')",
      "EXEC If Object_ID(N'[dbo].[trg_First]',N'TR') Is Null Begin Exec(N'CREATE TRIGGER "
      "trg_First ON StockDetail AFTER INSERT, UPDATE AS SELECT 1') Exec sys.sp_settriggerorder "
      "@triggername=N'[dbo].[trg_First]', @order=N'First', @stmttype=N'INSERT' Exec "
      "sys.sp_settriggerorder @triggername=N'[dbo].[trg_First]', @order=N'Last', "
      "@stmttype=N'UPDATE' End",
      "EXEC Exec sys.sp_refreshview N'[dbo].[vStock]'",
      "EXEC Exec sys.sp_refreshsqlmodule N'[dbo].[fnStock]'",
      "EXEC Update S_Modify Set Modified=0 Where TableTag=10",
  };
  EXPECT_TRUE(Rebuild(scenario));
  const Log statements = script.Statements();
  const auto rename = std::find(statements.begin(), statements.end(),
                                "EXEC sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'");
  const auto trigger =
      std::find(statements.begin(), statements.end(), "EXEC Exec CreateInvoiceDetailTrigger 10");
  ASSERT_LT(rename, trigger);
  EXPECT_EQ(Log(trigger + 1, statements.end()), expected);

  const struct Failure {
    std::string statement;
    long nativeError;
    std::string says;  // the message, or the table a lock-out names
  } failures[] = {
      {"Exec sys.sp_refreshview N'[dbo].[vStock]'", 207,
       "the view dbo.vStock, which reads StockDetail, could not be refreshed after the rebuild; "
       "alter it to fit the new columns; the server said: Invalid column name 'x_4'."},
      {"Exec sys.sp_refreshview N'[dbo].[vStock]'", 1222, "dbo.vStock"},
      {expected[3].substr(5), 1222, "StockDetail"},
  };
  for (const Failure& f : failures) {
    Script fresh;
    std::swap(script, fresh);
    script.Fail(f.statement, "Invalid column name 'x_4'.", "42S22", f.nativeError);
    try {
      Rebuild(scenario);
      ADD_FAILURE() << f.statement;
    } catch (const rebuild::TableLockedOut& e) {
      EXPECT_EQ(e.Table(), f.says) << f.statement;
    } catch (const sql::SqlError& e) {
      EXPECT_NE(std::string(e.what()).find(f.says), std::string::npos) << e.what();
    }
  }
}

// What cannot be carried stops the rebuild before its first write, saying
// what to do about it.
TEST_F(DetailTable, WhatCannotBeCarriedIsRefusedBeforeAnyWrite) {
  const std::string x = "X";
  const struct Case {
    DependentRows rows;
    std::string message;
  } cases[] = {
      {{{"R", "FK_Pick_Detail", "dbo.PickList", "0", "0", "0", std::nullopt, "1"}},
       "StockDetail is referenced by the foreign key FK_Pick_Detail of dbo.PickList"},
      {{{"B", "dbo.vStock", "VIEW", "0", "0", "0", std::nullopt, "1"}},
       "StockDetail is bound to the schema of dbo.vStock (VIEW)"},
      {{{"I", "CX_Bill", "NONE", "2", "4", "0", std::nullopt, "1"},
        {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"}},
       "the clustered index CX_Bill cannot be carried"},
      {{{"T", "trg_Secret", std::nullopt, "0", "2", "0", std::nullopt, "1"}},
       "the trigger trg_Secret is encrypted"},
      // Run again by the run, SELF would name the run's login.
      {{{"T", "trg_Self", "Clerk", "0", "16", "0",
         "CREATE TRIGGER trg_Self ON StockDetail WITH EXECUTE AS SELF AFTER INSERT AS SELECT 1",
         "1"}},
       "StockDetail: the trigger trg_Self runs as Clerk without naming that user (EXECUTE AS "
       "SELF): created again by the run it would run as the run's login; alter it to WITH "
       "EXECUTE AS 'Clerk' (or OWNER) before the run"},
      {{{"T", "trg_Hidden", "Clerk", "0", "16", "0",
         "/* WITH EXECUTE AS 'Clerk' */ CREATE TRIGGER [trg_Hidden] ON [StockDetail] -- AS 'Clerk'"
         "\nWITH EXECUTE AS SELF AFTER INSERT AS SELECT 1",
         "1"}},
       "the trigger trg_Hidden runs as Clerk without naming that user"},
      {{{"T", "trg_Named", "Auditor", "0", "0", "0",
         "CREATE TRIGGER trg_Named ON StockDetail WITH EXEC AS N'Auditor' FOR INSERT "
         "AS SELECT 1",
         "1"}},
       "the login may not create the trigger trg_Named again, which runs as Auditor: that needs "
       "IMPERSONATE on the user Auditor"},
      {{{"A", "Keeper", std::nullopt, "9", "0", "0", std::nullopt, "1"},
        {x, "PRIMARY", std::nullopt, "9", "64", "0", "PRIMARY", "1"}},
       "StockDetail belongs to Keeper rather than to the owner of schema dbo"},
      {{{"P", "SELECT", "ShopRole", "0", "71", "0", std::nullopt, "1"},
        {x, "PRIMARY", std::nullopt, "0", "0", "0", "PRIMARY", "1"}},
       "the login may not give back GRANT SELECT on StockDetail to ShopRole"},
      {{{"F", "FK_Bill", "[dbo].[StockBill]", "0", "4", "0", std::nullopt, "1"},
        {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"}},
       "the login may not create the foreign key FK_Bill again, which needs REFERENCES on "
       "[dbo].[StockBill]"},
      {{{x, "PRIMARY", "ByMonth", "0", "64", "0", "PRIMARY", "1"}},
       "is partitioned (partition scheme ByMonth)"},
      {{{x, "HISTORY", std::nullopt, "0", "64", "0", "PRIMARY", "1"}},
       "is stored on filegroup HISTORY, but the run would recreate it on the default filegroup "
       "PRIMARY"},
      {{{"E", "MS_Description", std::nullopt, "0", "0", "0", "?", "0"}},
       "the description MS_Description holds characters that code page 936 (GBK) cannot"},
      // Grants to others the catalog hides would be lost without a word.
      {{{x, "PRIMARY", std::nullopt, "0", "192", "0", "PRIMARY", "1"}},
       "StockDetail: the login cannot see every permission on it (the catalog shows the "
       "permissions of other users and roles only with VIEW DEFINITION), so the rebuild could "
       "not give back the ones it cannot see; grant the login VIEW DEFINITION on the database"},
      {{{"V", "vStock", "dbo", "1", "1", "0", std::nullopt, "1"}},
       "StockDetail: the view dbo.vStock reads it and must be refreshed after the rebuild "
       "(sp_refreshview), which needs ALTER on it; grant the login ALTER on dbo.vStock"},
  };
  for (const Case& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    DetailScenario scenario;
    scenario.dependents = {{"StockDetail", c.rows}};
    try {
      Rebuild(scenario);
      ADD_FAILURE() << c.message;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_TRUE(Executed().empty()) << c.message;
  }
}

// An identity column is copied with its values, by the same statement, and
// its identity named as lost: the new definition gives none. A copy that
// would round values stops before the first write.
TEST_F(DetailTable, ComparesEachCopiedColumnWithItsNewDefinition) {
  DetailScenario scenario;
  std::vector<sql::Value> index = OldColumn("IndexNo", "int", "4", "10", "0", false);
  index[9] = "1";
  index[10] = index[11] = "1";
  index[12] = "57";
  scenario.oldColumns = {index, OldColumn("Price", "money", "8", "19", "4")};
  scenario.Apply(script);
  std::vector<std::string> lost;
  EXPECT_TRUE(rebuild::RebuildDetailTable(
      access, notices, 10, nullptr, nullptr, nullptr,
      [&](const rebuild::CarriedCounts&, const std::vector<std::string>& what) { lost = what; }));
  EXPECT_EQ(CopyStatement(),
            "Insert into dbo.Tmp_StockDetail(DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,"
            "Amount,SizeIndex,SizeStr,x_1,x_2) Select DetailID,IndexNo,BillID,StoreCode,Price,"
            "BoxQty,Amount,SizeIndex,SizeStr,x_1,x_2 from StockDetail ");
  EXPECT_EQ(lost, (std::vector<std::string>{
                      "the identity of StockDetail.IndexNo (seed 1, increment 1, last value 57): "
                      "the new column int Null is no identity column; its values are copied as "
                      "they are, and rows added later get none unless they give one",
                      "Not Null of StockDetail.IndexNo: the new column int Null takes NULLs"}));

  Script fresh;
  std::swap(script, fresh);
  scenario.fieldKind = "Int;Int;Money;";
  scenario.oldColumns = {OldColumn("Price", "decimal", "9", "12", "2")};
  try {
    Rebuild(scenario);
    ADD_FAILURE() << "expected a refusal";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "TableTag 10: StockDetail.Price is decimal(12,2) Null and its new definition is "
                 "Int Null: their fractions would be rounded away; the copy would change its "
                 "values, so nothing is rebuilt. Give it a new definition that holds every value "
                 "(S_Modify.FieldKind), or change the old column first");
  }
  EXPECT_TRUE(Executed().empty());
}

TEST_F(DetailTable, RowsWrittenMeanwhileFailTheCopy) {
  DetailScenario scenario;
  scenario.rowsCopied = "4";
  EXPECT_THROW(Rebuild(scenario), std::runtime_error);
  EXPECT_TRUE(Executed().back().starts_with("Insert into dbo.Tmp_StockDetail("));
}

}  // namespace
}  // namespace slotsync::testing

namespace slotsync::testing {
namespace {

class DetailTableThroughTheRun : public RunFixture {
 protected:
  entry::RunReport RunWithRealRebuilders() {
    entry::RunDependencies deps = Dependencies();
    deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
      return rebuild::MakeRebuilders(access, box);
    };
    return entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  }
};

TEST_F(DetailTableThroughTheRun, IsRebuiltAndCommitted) {
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  DetailScenario{}.Apply(script);
  const auto report = RunWithRealRebuilders();
  EXPECT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  EXPECT_EQ(report.rebuiltTables, 1);
  const auto& log = script.Log();
  const auto flagCleared =
      std::find(log.begin(), log.end(), "EXEC Update S_Modify Set Modified=0 Where TableTag=10");
  ASSERT_NE(flagCleared, log.end());
  EXPECT_EQ(*std::next(flagCleared), "COMMIT");
}

TEST_F(DetailTableThroughTheRun, AFailingRebuildIsRolledBack) {
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  DetailScenario{}.Apply(script);
  script.Fail("sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'",
              "Either the parameter @objname "
              "is ambiguous or the claimed "
              "@objtype (OBJECT) is wrong.");
  const auto report = RunWithRealRebuilders();
  EXPECT_EQ(report.outcome, entry::Outcome::kRolledBack);
  EXPECT_EQ(report.failedTableTag, 10);
  EXPECT_EQ(report.message,
            "TableTag 10: Either the parameter @objname is ambiguous or the claimed @objtype "
            "(OBJECT) is wrong.");
  const auto& log = script.Log();
  const auto rename =
      std::find(log.begin(), log.end(), "EXEC sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'");
  ASSERT_NE(rename, log.end());
  EXPECT_EQ(*std::next(rename), "ROLLBACK");
}

// A foreign key comes off before the transaction, in a short transaction of
// its own, and goes back after the transaction ends: onto the new table
// after a commit, checked against the rows, or onto the old one after a
// rollback. What could not be done is said, with what to run; a lock wait
// that runs out is tried again, and one that stops the keys coming off stops
// the run with nothing changed, naming the table the key references.
TEST_F(DetailTableThroughTheRun, ForeignKeysMoveAroundTheTransaction) {
  const std::string drop = "Alter Table [dbo].[StockDetail] Drop Constraint [FK_Bill]";
  const std::string make =
      "Alter Table [dbo].[StockDetail] With NoCheck Add Constraint [FK_Bill] Foreign Key "
      "([BillID]) References [dbo].[StockBill] ([BillID])";
  const std::string check = "Alter Table [dbo].[StockDetail] With Check Check Constraint [FK_Bill]";
  const std::string rename = "sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'";
  const std::string cleared = "EXEC Update S_Modify Set Modified=0 Where TableTag=10";
  struct Case {
    const char* name;
    std::string failing;  // fails each time it is sent
    std::int32_t nativeError;
    entry::Outcome outcome;
    Log afterDrop;        // what follows the key's coming off, the rebuild's own work aside
    std::string warning;  // in the message and, after a commit, among what was lost
    std::int32_t constraints;
    int pauses;
    bool interrupt = false;      // Ctrl+C as the table's rebuild begins
    bool makeLockedOut = false;  // and the key's make runs out of its lock wait each time
  };
  const std::string locked = "Lock request time out period exceeded.";
  const Log main = {"COMMIT", "START TRANSACTION", "EXEC " + rename, cleared, "COMMIT"};
  const auto then = [&main](Log tail) {
    Log log = main;
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
  };
  const std::vector<Case> cases = {
      {"committed", "", 0, entry::Outcome::kCommitted, then({"EXEC " + make, "EXEC " + check}), "",
       1, 0},
      {"rolled back",
       rename,
       15248,
       entry::Outcome::kRolledBack,
       {"COMMIT", "START TRANSACTION", "EXEC " + rename, "ROLLBACK", "EXEC " + make,
        "EXEC " + check},
       "",
       0,
       0},
      {"check fails", check, 547, entry::Outcome::kCommitted,
       then({"EXEC " + make, "EXEC " + check}),
       "the foreign key FK_Bill of StockDetail is back, but the rows written while it was off "
       "could not be checked, so the server does not trust it; the server said: " +
           locked + "; once the rows are mended, run: " + check,
       1, 0},
      {"make locked out", make, 1222, entry::Outcome::kCommitted,
       then({"EXEC " + make, "EXEC " + make, "EXEC " + make}),
       "the foreign key FK_Bill of StockDetail could not be made again after the commit, and "
       "the table is without it; the server said: " +
           locked + "; run: " + make + "; " + check,
       0, 2},
      {"rolled back, the key not put back",
       rename,
       15248,
       entry::Outcome::kRolledBack,
       {"COMMIT", "START TRANSACTION", "EXEC " + rename, "ROLLBACK", "EXEC " + make, "EXEC " + make,
        "EXEC " + make},
       "the foreign key FK_Bill of StockDetail, taken off before the transaction, could not be "
       "put back after it ended, and the table is without it; the server said: " +
           locked + "; run: " + make + "; " + check,
       0,
       2,
       false,
       true},
      {"drop locked out", drop, 1222, entry::Outcome::kLockedOut, {"ROLLBACK"}, "", 0, 0},
      {"interrupted",
       "",
       0,
       entry::Outcome::kRolledBack,
       {"COMMIT", "START TRANSACTION", "ROLLBACK", "EXEC " + make, "EXEC " + check},
       "",
       0,
       0,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    ScriptCounts(3, 2);
    ScriptFlagged({10});
    DetailScenario scenario;
    scenario.dependents = {
        {"StockDetail",
         {{"F", "FK_Bill", "[dbo].[StockBill]", "0", "0", "0", std::nullopt, "1"},
          {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"}}}};
    scenario.Apply(script);
    if (!c.failing.empty()) script.Fail(c.failing, locked, "HYT00", c.nativeError);
    if (c.makeLockedOut) script.Fail(make, locked, "HYT00", 1222);
    int pauses = 0;
    entry::RunDependencies deps = Dependencies();
    deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
      return rebuild::MakeRebuilders(access, box);
    };
    deps.pauseBeforeRetry = [&pauses] { ++pauses; };
    if (c.interrupt) {
      deps.makeClient = [this](const entry::SizeConnectionSettings&) {
        return entry::Cancellable(std::make_unique<ScriptedConnection>(script));
      };
      deps.onTable = [](std::int32_t) { entry::CancelRun(); };
    }
    const auto report = [&] {
      const entry::RunInProgress inProgress;
      return entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    }();
    // The next run's client starts it uncancelled, as every host's run has one.
    if (c.interrupt) entry::Cancellable(std::make_unique<ScriptedConnection>(script));
    EXPECT_EQ(report.outcome, c.outcome) << report.message;
    const Log& log = script.Log();
    const auto from = std::find(log.begin(), log.end(), "EXEC " + drop);
    ASSERT_NE(from, log.end());
    Log tail;
    std::copy_if(std::next(from), log.end(), std::back_inserter(tail), [&](const std::string& e) {
      return e == "COMMIT" || e == "ROLLBACK" || e == "START TRANSACTION" || e == cleared ||
             e == "EXEC " + rename || e == "EXEC " + make || e == "EXEC " + check;
    });
    EXPECT_EQ(tail, c.afterDrop);
    EXPECT_EQ(pauses, c.pauses);
    if (c.outcome == entry::Outcome::kLockedOut) {
      EXPECT_EQ(report.lockedTable, "[dbo].[StockBill]");
      EXPECT_NE(report.message.find("table [dbo].[StockBill] is held by"), std::string::npos)
          << report.message;
      continue;
    }
    ASSERT_EQ(report.tables.size(), 1u);
    EXPECT_EQ(report.tables[0].carried.constraints, c.constraints);
    // After a commit a key not made is lost with the rebuild; otherwise the
    // old table is not as the run found it.
    const bool committed = c.outcome == entry::Outcome::kCommitted;
    std::vector<std::string> leftBehind;
    for (const entry::LeftBehind& left : report.leftBehind) leftBehind.push_back(left.what);
    if (c.warning.empty()) {
      EXPECT_EQ(report.message.find("warning"), std::string::npos) << report.message;
    } else {
      EXPECT_NE(report.message.find("warning: " + c.warning), std::string::npos) << report.message;
    }
    const std::vector<std::string> said =
        c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning};
    EXPECT_EQ(report.tables[0].dependentsLost, committed ? said : std::vector<std::string>{});
    EXPECT_EQ(leftBehind, committed ? std::vector<std::string>{} : said);
  }
}

}  // namespace
}  // namespace slotsync::testing
