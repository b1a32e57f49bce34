// An online run (--online) with the real rebuilders over the scripted
// connection: the detail table is prepared outside the transaction, copied
// in batches, and switched over with the per-terminal table in one short
// transaction; whatever fails before the commit leaves nothing behind.

#include "entry/restructure_run.h"
#include "entry/run_cancel.h"
#include "rebuild/online_detail.h"
#include "run_fixture.h"
#include "scenarios.h"

namespace slotsync::testing {
namespace {

using Log = std::vector<std::string>;

class OnlineRun : public RunFixture {
 protected:
  DetailScenario detail;
  TerminalScenario terminal = [] {
    TerminalScenario t;
    t.tableName = t.dictTableName = "Term101";
    t.slotCount = 3;
    return t;
  }();
  std::vector<std::int32_t> pauses;
  bool tillsHoldTheTable = false;  // the cut-over's lock wait always runs out

  void ScriptDatabase(bool withTerminal) {
    ScriptCounts(3, 2);
    ScriptFlagged(withTerminal ? std::vector<std::int32_t>{10, 101}
                               : std::vector<std::int32_t>{10});
    detail.Apply(script);
    if (withTerminal) ScriptTerminalDictionary(script, terminal);
    const rebuild::OnlineCopy copy = Copy();
    // Five rows, two a batch.
    script.Answer(rebuild::BatchBoundQuery(copy, nullptr, 2), Rows({"", ""}, {{"2", "k2"}}));
    const std::string k2 = "k2", k4 = "k4";
    script.Answer(rebuild::BatchBoundQuery(copy, &k2, 2), Rows({"", ""}, {{"2", "k4"}}));
    script.Answer(rebuild::BatchBoundQuery(copy, &k4, 2), Rows({"", ""}, {{"1", "k5"}}));
    const sql::ResultSet same = Rows({"", "", ""}, {{"5", "7", "9"}});
    if (tillsHoldTheTable) {
      script.Fail(rebuild::CutOverCheckQuery(copy, false), "Lock request time out period exceeded.",
                  "HY000", 1222);
    } else {
      script.Answer(rebuild::CutOverCheckQuery(copy, false), same);
    }
    script.Answer(rebuild::CutOverCheckQuery(copy, true), same);
  }

  rebuild::OnlineCopy Copy() const { return StockDetailCopy(); }

  entry::RunReport RunOnline(std::int32_t retries = 0) {
    entry::RunDependencies deps = Dependencies();
    deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
      return rebuild::MakeRebuilders(access, box);
    };
    deps.online.enabled = true;
    deps.online.batchRows = 2;
    deps.online.retries = retries;
    deps.online.pause = [this](std::int32_t seconds) { pauses.push_back(seconds); };
    return entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  }

  // The log from the first entry equal to `from` to the end.
  Log From(const std::string& from) const {
    const auto& log = script.Log();
    return {std::find(log.begin(), log.end(), from), log.end()};
  }
};

std::string Create(const std::string& name) {
  return "EXEC Create Table " + name +
         "(DetailID Varchar(40) Not Null Default NewID(),IndexNo int Null,BillID Varchar(20),"
         "StoreCode Varchar(20),BoxQty int Null,[x_1] Integer Null,[x_2] Integer Null,[x_3] "
         "Integer Null,Price Money Null,Amount Money Null,[Memo] Varchar(30) Null, SizeIndex "
         "Integer Null,SizeStr Varchar(100) Null)";
}

const std::string kColumns =
    "[DetailID],[IndexNo],[BillID],[StoreCode],[Price],[BoxQty],[Amount],[SizeIndex],[SizeStr],"
    "[x_1],[x_2]";
const std::string kValues =
    "[DetailID],[IndexNo],[BillID],[StoreCode],[Price],[BoxQty],[Amount],[SizeIndex],Case When "
    "[SizeStr]<>'' Then [SizeStr]+'.0' Else [SizeStr] End,[x_1],[x_2]";
const std::string kRemoveCapture =
    "EXEC If Object_ID(N'[dbo].[slotsync_online_StockDetail]', N'TR') Is Not Null Drop Trigger "
    "[dbo].[slotsync_online_StockDetail]";
const std::string kRemoveShadow =
    "EXEC If Object_ID(N'[dbo].[Tmp_StockDetail]', N'U') Is Not Null Drop Table "
    "[dbo].[Tmp_StockDetail]";
const std::string kOldCheck =
    "OPEN Select Count_Big(*),Sum(Cast([x_1] As BigInt)),Sum(Cast([x_2] As BigInt)) From "
    "[dbo].[StockDetail] With (TabLockX, HoldLock)";

std::string Batch(const std::string& range) {
  return "EXEC Insert into [dbo].[Tmp_StockDetail](" + kColumns + ") Select " + kValues +
         " From [dbo].[StockDetail] o With (UpdLock, HoldLock) Where " + range +
         " And Not Exists (Select * From [dbo].[Tmp_StockDetail] n Where "
         "n.[DetailID]=o.[DetailID])";
}

TEST_F(OnlineRun, PreparesCopiesInBatchesAndCutsOverWithThePerTerminalTableInOneTransaction) {
  ScriptDatabase(true);
  const auto report = RunOnline();
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  EXPECT_EQ(report.rebuiltTables, 2);
  ASSERT_EQ(report.tables.size(), 2u);
  EXPECT_EQ(report.tables[0].rowsCopied, 5);  // as the cut-over's check counted them
  // Everything online waits at most the cut-over timeout; leftovers first.
  const Log start = From("EXEC SET LOCK_TIMEOUT 2000");
  ASSERT_GE(start.size(), 2u);
  EXPECT_EQ(start[1],
            "OPEN Select o.name From sys.triggers t Join sys.objects o On o.object_id=t.parent_id "
            "Where o.schema_id=Schema_ID(N'dbo') And t.name=N'slotsync_online_'+o.name Order By "
            "o.name");
  Log expected = {kWriteSettings};
  const Log reads = DetailScenario::Reads();
  expected.insert(expected.end(), reads.begin(), reads.end());
  const Log prepare = {
      // The new table and the capture stand together or not at all.
      "START TRANSACTION",
      "EXEC if exists (select * from dbo.sysobjects where id = object_id(N'dbo.Tmp_StockDetail') "
      ") Drop Table dbo.Tmp_StockDetail",
      Create("dbo.Tmp_StockDetail"),
      "EXEC Alter Table dbo.Tmp_StockDetail Add Primary Key (DetailID)",
      "EXEC Create Trigger [dbo].[slotsync_online_StockDetail] On [dbo].[StockDetail] After "
      "Insert, Update, Delete As Begin Set NoCount On; If Object_ID(N'[dbo].[Tmp_StockDetail]', "
      "N'U') Is Null Return; Set XACT_ABORT Off; Begin Try Delete n From [dbo].[Tmp_StockDetail] "
      "n Where n.[DetailID] In (Select [DetailID] From deleted Union All Select [DetailID] From "
      "inserted); Insert into [dbo].[Tmp_StockDetail](" +
          kColumns + ") Select " + kValues +
          " From inserted; End Try Begin Catch If XACT_STATE()=1 And "
          "Object_ID(N'[dbo].[Tmp_StockDetail]', N'U') Is Not Null Drop Table "
          "[dbo].[Tmp_StockDetail]; End Catch End",
      "COMMIT",
      // Outside any transaction of the run's: each batch is its own.
      "OPEN " + DetailScenario::CatalogRowsSql("StockDetail"),
      "OPEN Select Count(*),Max(b.[DetailID]) From (Select Top 2 [DetailID] From "
      "[dbo].[StockDetail] Order By [DetailID]) b",
      Batch("o.[DetailID]<='k2'"),
      "OPEN Select Count(*),Max(b.[DetailID]) From (Select Top 2 [DetailID] From "
      "[dbo].[StockDetail] Where [DetailID]>'k2' Order By [DetailID]) b",
      Batch("o.[DetailID]>'k2' And o.[DetailID]<='k4'"),
      "OPEN Select Count(*),Max(b.[DetailID]) From (Select Top 2 [DetailID] From "
      "[dbo].[StockDetail] Where [DetailID]>'k4' Order By [DetailID]) b",
      Batch("o.[DetailID]>'k4' And o.[DetailID]<='k5'"),
      // The cut-over: locks and the two checks, then nothing that grows
      // with the rows.
      "START TRANSACTION",
      kOldCheck,
      "OPEN Select Count_Big(*),Sum(Cast([x_1] As BigInt)),Sum(Cast([x_2] As BigInt)) From "
      "[dbo].[Tmp_StockDetail] With (TabLockX, HoldLock)",
  };
  expected.insert(expected.end(), prepare.begin(), prepare.end());
  expected.insert(expected.end(), reads.begin(), reads.end());
  const Log cutOver = {
      "EXEC Drop Trigger [dbo].[slotsync_online_StockDetail]",
      "EXEC if exists (select * from dbo.sysobjects where id = object_id(N'StockDetail_U') ) Drop "
      "Table StockDetail_U",
      Create("StockDetail_U"),
      "EXEC Alter Table StockDetail_U Add Primary Key (DetailID)",
      "EXEC if exists (select * from dbo.sysobjects where id = object_id(N'StockDetail_I') ) Drop "
      "Table StockDetail_I",
      Create("StockDetail_I"),
      "EXEC Alter Table StockDetail_I Add Primary Key (DetailID)",
      "EXEC if exists (select * from dbo.sysobjects where id = object_id(N'StockDetail_D') ) Drop "
      "Table StockDetail_D",
      Create("StockDetail_D"),
      "EXEC Alter Table StockDetail_D Add Primary Key (DetailID)",
      "EXEC Drop Table StockDetail",
      "EXEC sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'",
      // The key came with the new table; the size texts with the copy.
      "OPEN Select * from syscolumns where name='VersionNo' and id=object_id('Parameter')",
      "EXEC Exec CreateInvoiceDetailTrigger 10",
      "EXEC Update S_Modify Set Modified=0 Where TableTag=10",
      // The per-terminal table as it always is, inside the same transaction.
      "OPEN Select * from S_Modify Where TableTag=101",
      "OPEN " + kTypesSql + "101",
      "OPEN Select FieldName From DataDictionary where TableTag=101",
      "OPEN Select TableName From DataDictionary where TableTag=101",
      "OPEN " + kSlotCountSql,
      "OPEN " + rebuild::DependentsQuery("Term101"),
      "EXEC Drop Table Term101",
      "EXEC Create Table Term101(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[F] "
      "Int Null ,[x_1] Integer Null Default(0),[x_2] Integer Null Default(0),[x_3] Integer Null "
      "Default(0),[V] Money Null Default(0))",
      "EXEC Alter Table [Term101] With NoCheck Add Constraint [PK_Term101] Primary Key "
      "NonClustered ( [K] ) On [Primary]",
      "EXEC CREATE  INDEX [IX_Term101_Terminal] ON [dbo].[Term101]([TerminalName]) ON [PRIMARY] ",
      "EXEC Update S_Modify Set Modified=0 Where TableTag=101",
      "COMMIT",
      kReleaseLock,
      "DISCONNECT",
      "WINDOW MESSAGES",
      "RELEASE",
      "WINDOW DESTROY",
  };
  expected.insert(expected.end(), cutOver.begin(), cutOver.end());
  EXPECT_EQ(From(kWriteSettings), expected);
}

// Every statement from the leftovers' read to the cut-over's commit, failed
// in turn: the run never commits half, and whatever it made goes again.
TEST_F(OnlineRun, AFailureAtAnyStatementBeforeTheCommitLeavesNoNewTableAndNoCapture) {
  ScriptDatabase(false);
  ASSERT_EQ(RunOnline().outcome, entry::Outcome::kCommitted);
  const Log clean = script.Log();
  const auto first = std::find(clean.begin(), clean.end(), "EXEC SET LOCK_TIMEOUT 2000");
  const auto commit = std::find(std::make_reverse_iterator(clean.end()),
                                std::make_reverse_iterator(first), "COMMIT");
  ASSERT_NE(first, clean.end());
  const auto begin = static_cast<std::size_t>(first - clean.begin()) + 1;
  const auto end = static_cast<std::size_t>(clean.rend() - commit) - 1;
  const auto prepared = std::find(first, clean.end(), "COMMIT");  // the new table and capture
  std::size_t failedRuns = 0;
  for (std::size_t at = begin; at < end; ++at) {
    if (!clean[at].starts_with("OPEN ") && !clean[at].starts_with("EXEC ")) continue;
    SCOPED_TRACE(clean[at].substr(0, 160));
    script = Script();
    ScriptDatabase(false);
    script.FailCallAt(at, "Injected failure.");
    const auto report = RunOnline();
    if (report.outcome == entry::Outcome::kCommitted) continue;  // a drop passed over
    ++failedRuns;
    const Log& log = script.Log();
    const bool made = at > static_cast<std::size_t>(prepared - clean.begin());
    const auto removal =
        std::find(log.begin() + static_cast<std::ptrdiff_t>(at), log.end(), kRemoveCapture);
    if (made) {
      ASSERT_NE(removal, log.end()) << report.message;
      EXPECT_EQ(*std::prev(removal), "START TRANSACTION");
      EXPECT_EQ(*std::next(removal), kRemoveShadow);
      EXPECT_EQ(*std::next(removal, 2), "COMMIT");
    } else {
      EXPECT_EQ(removal, log.end());
      EXPECT_EQ(std::count(log.begin(), log.end(), "COMMIT"), 0) << report.message;
    }
  }
  EXPECT_GT(failedRuns, 40u);
}

// Ctrl+C during the copy: the running statement is cancelled and nothing of
// the rebuild is sent any more, but the new table and its capture still go.
TEST_F(OnlineRun, AnInterruptDuringTheCopyStillRemovesTheNewTableAndTheCapture) {
  ScriptDatabase(false);
  entry::RunDependencies deps = Dependencies();
  deps.makeClient = [this](const entry::SizeConnectionSettings&) {
    return entry::Cancellable(std::make_unique<ScriptedConnection>(script));
  };
  deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
    return rebuild::MakeRebuilders(access, box);
  };
  deps.online.enabled = true;
  deps.online.batchRows = 2;
  deps.online.onCopyProgress = [](const rebuild::CopyProgress&) { entry::CancelRun(); };
  // As a host's call is: a cancel that comes after the run's client is gone
  // must not start the next run cancelled.
  const auto report = [&] {
    const entry::RunInProgress inProgress;
    return entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  }();
  EXPECT_EQ(report.outcome, entry::Outcome::kFailedBeforeTransaction) << report.message;
  EXPECT_NE(report.message.find("the run was interrupted"), std::string::npos) << report.message;
  const Log tail = From(Batch("o.[DetailID]<='k2'"));
  EXPECT_EQ(tail, (Log{Batch("o.[DetailID]<='k2'"), "START TRANSACTION", kRemoveCapture,
                       kRemoveShadow, "COMMIT", "RELEASE", "WINDOW DESTROY"}));
  // The next run's client starts it uncancelled, as every host's run has
  // one; the other tests of this process make theirs without.
  entry::Cancellable(std::make_unique<ScriptedConnection>(script));
}

TEST_F(OnlineRun, ADryRunRollsItsCutOverBackAndRemovesItsCopies) {
  dryRun = true;
  ScriptDatabase(false);
  EXPECT_EQ(RunOnline().outcome, entry::Outcome::kPreviewed);
  const Log tail = From("ROLLBACK");
  ASSERT_GE(tail.size(), 5u);
  EXPECT_EQ(Log(tail.begin(), tail.begin() + 5),
            (Log{"ROLLBACK", "START TRANSACTION", kRemoveCapture, kRemoveShadow, "COMMIT"}));
}

TEST_F(OnlineRun, ALockTimeoutAtTheCutOverIsTriedAgainThenGivenUpCleanly) {
  tillsHoldTheTable = true;
  ScriptDatabase(false);
  const auto report = RunOnline(2);
  EXPECT_EQ(report.outcome, entry::Outcome::kLockedOut) << report.message;
  EXPECT_EQ(pauses, (std::vector<std::int32_t>{2, 4}));
  EXPECT_EQ(std::count(script.Log().begin(), script.Log().end(), kOldCheck), 3);
  EXPECT_EQ(report.lockedTable, "StockDetail");
  // The holders are asked after each rollback; then everything goes.
  const Log tail = From(kRemoveCapture);
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(tail[1], kRemoveShadow);
  EXPECT_EQ(tail[2], "COMMIT");
}

// One lock wait that runs out, or one deadlock lost, where the online run
// gives way and tries again: the run still commits and leaves nothing.
TEST_F(OnlineRun, ALockOutOnceIsTriedAgainWhereverTheOnlineRunGivesWay) {
  struct Case {
    const char* name;
    std::string statement;  // the first one sent that starts so fails once
    long nativeError;
    std::vector<std::int32_t> pauses;  // between cut-over rounds
  };
  const Case cases[] = {
      {"the capture's creation", "EXEC Create Trigger", 1222, {}},
      {"a batch", "EXEC Insert into [dbo].[Tmp_StockDetail]", 1205, {}},
      {"the cut-over's check", kOldCheck, 1222, {2}},
  };
  ScriptDatabase(false);
  ASSERT_EQ(RunOnline(1).outcome, entry::Outcome::kCommitted);
  const Log clean = script.Log();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto at = std::find_if(clean.begin(), clean.end(), [&](const std::string& entry) {
      return entry.starts_with(c.statement);
    });
    ASSERT_NE(at, clean.end());
    script = Script();
    pauses.clear();
    ScriptDatabase(false);
    script.FailCallAt(static_cast<std::size_t>(at - clean.begin()), "Lock request time out.",
                      c.nativeError == 1205 ? "40001" : "HY000", c.nativeError);
    const auto report = RunOnline(1);
    EXPECT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
    EXPECT_EQ(std::count(script.Log().begin(), script.Log().end(), *at), 2);
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(std::count(script.Log().begin(), script.Log().end(), kRemoveCapture), 0);
  }
}

TEST_F(OnlineRun, LeftoversOfAKilledRunAreRemovedFirstAndSaidSo) {
  ScriptDatabase(false);
  script.Answer(rebuild::LeftoverQuery(), Column("name", {"StockDetail"}));
  const auto report = RunOnline();
  EXPECT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  const Log start = From("OPEN " + rebuild::LeftoverQuery());
  ASSERT_GE(start.size(), 5u);
  EXPECT_EQ(Log(start.begin() + 1, start.begin() + 5),
            (Log{"START TRANSACTION", kRemoveCapture, kRemoveShadow, "COMMIT"}));
  EXPECT_EQ(report.message,
            "warning: removed what an earlier online run left behind: the capture trigger "
            "dbo.slotsync_online_StockDetail on StockDetail and the table dbo.Tmp_StockDetail");
}

// A secondary index and the table's compression are built on the empty
// copy, with it and its capture, not on the filled copy (which would hold
// the tills the capture serves) nor in the cut-over.
TEST_F(OnlineRun, CarriedIndexesAreBuiltOnTheCopyBeforeTheCutOver) {
  detail.dependents = {{"StockDetail",
                        {{"I", "IX_Bill", "NONE", "2", "0", "0", std::nullopt, "1"},
                         {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"},
                         {"X", "PRIMARY", std::nullopt, "0", "64", "10", "PRIMARY", "1"}}}};
  ScriptDatabase(false);
  const auto report = RunOnline();
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  const std::string index =
      "EXEC Create NonClustered Index [IX_Bill] On [dbo].[Tmp_StockDetail] ([BillID])";
  const Log& log = script.Log();
  const auto built = std::find(log.begin(), log.end(), index);
  ASSERT_NE(built, log.end());
  // The compression too, which would rewrite every row in the cut-over.
  EXPECT_EQ(*std::prev(built),
            "EXEC Alter Table [dbo].[Tmp_StockDetail] Rebuild With (Data_Compression = Page)");
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& e) { return e.find(" Rebuild With ") != e.npos; }),
            1);
  EXPECT_TRUE(std::next(built)->starts_with(
      "EXEC Create Trigger [dbo].[slotsync_online_StockDetail] On [dbo].[StockDetail]"))
      << *std::next(built);
  EXPECT_LT(built, std::find(log.begin(), log.end(), Batch("o.[DetailID]<='k2'")));
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& e) { return e.find("IX_Bill") != e.npos; }),
            1);
  ASSERT_EQ(report.tables.size(), 1u);
  EXPECT_EQ(report.tables[0].carried.indexes, 1);
}

// Unique and check constraints too, under names of the run's own while the
// old table holds theirs: the cut-over only renames them, and turns on a
// check the copied rows were not to meet (untrusted on the old table) without
// checking them, as the run without --online leaves it.
TEST_F(OnlineRun, ConstraintsAreMadeOnTheEmptyCopyAndOnlyRenamedInTheCutOver) {
  detail.dependents = {{"StockDetail",
                        {{"I", "UQ_Line", "NONE", "2", "3", "0", std::nullopt, "1"},
                         {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"},
                         {"IC", "IndexNo", std::nullopt, "2", "0", "2", std::nullopt, "1"},
                         {"K", "CK_Qty", std::nullopt, "0", "0", "0", "([x_1]>=(0))", "1"},
                         // Its name ends in a character whose trail byte is "]".
                         {"K", "CK_Old\x81]", std::nullopt, "0", "2", "0", "([Price]>(0))", "1"},
                         {"K", "CK_Gone", std::nullopt, "0", "0", "0", "([x_9]=(0))", "1"}}}};
  ScriptDatabase(false);
  const auto report = RunOnline();
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  Log prepared, cutOver;
  const Log& log = script.Log();
  const auto copy = std::find(log.begin(), log.end(), Batch("o.[DetailID]<='k2'"));
  const auto check = std::find(log.begin(), log.end(), kOldCheck);
  for (auto entry = log.begin(); entry != log.end(); ++entry) {
    if (entry->find("Constraint [CK_") == std::string::npos &&
        entry->find("Constraint [UQ_") == std::string::npos &&
        entry->find("slotsync_online_10_") == std::string::npos) {
      continue;
    }
    ASSERT_TRUE(entry < copy || entry > check) << *entry;
    (entry < copy ? prepared : cutOver).push_back(*entry);
  }
  EXPECT_EQ(prepared,
            (Log{"EXEC Alter Table [dbo].[Tmp_StockDetail] Add Constraint [slotsync_online_10_1] "
                 "Check ([x_1]>=(0))",
                 "EXEC Alter Table [dbo].[Tmp_StockDetail] With NoCheck Add Constraint "
                 "[slotsync_online_10_2] Check ([Price]>(0))",
                 "EXEC Alter Table [dbo].[Tmp_StockDetail] NoCheck Constraint "
                 "[slotsync_online_10_2]",
                 "EXEC Alter Table [dbo].[Tmp_StockDetail] Add Constraint [slotsync_online_10_4] "
                 "Unique NonClustered ([BillID], [IndexNo])"}));
  EXPECT_EQ(cutOver,
            (Log{"EXEC Exec sp_rename N'[dbo].[slotsync_online_10_1]', N'CK_Qty', N'OBJECT'",
                 "EXEC Exec sp_rename N'[dbo].[slotsync_online_10_2]', N'CK_Old\x81]', N'OBJECT'",
                 "EXEC Alter Table [dbo].[StockDetail] With NoCheck Check Constraint "
                 "[CK_Old\x81]]",
                 "EXEC Exec sp_rename N'[dbo].[slotsync_online_10_4]', N'UQ_Line', N'OBJECT'"}));
  ASSERT_EQ(report.tables.size(), 1u);
  EXPECT_EQ(report.tables[0].carried.constraints, 3);
  ASSERT_EQ(report.tables[0].dependentsLost.size(), 1u);
  EXPECT_EQ(report.tables[0].dependentsLost[0],
            "check constraint CK_Gone on StockDetail (x_9 is no column of the new table)");
}

// An index made on the old table while it was copied is not on the copy:
// the cut-over finds that and stops, rather than lose it.
TEST_F(OnlineRun, AnIndexMadeOnTheOldTableDuringTheCopyStopsTheCutOver) {
  ScriptDatabase(false);
  const std::vector<std::string> header = {"Kind",  "Name",    "Item", "Number",
                                           "Flags", "Ordinal", "Body", "Gbk"};
  const std::string dependents = rebuild::DependentsQuery("StockDetail");
  // The check before the run and the prepare read it bare.
  script.Answer(dependents, Rows(header, {}));
  script.Answer(dependents, Rows(header, {}));
  script.Answer(dependents,
                Rows(header, {{"I", "IX_Bill", "NONE", "2", "0", "0", std::nullopt, "1"},
                              {"IC", "BillID", std::nullopt, "2", "0", "1", std::nullopt, "1"}}));
  const auto report = RunOnline();
  EXPECT_EQ(report.outcome, entry::Outcome::kRolledBack);
  EXPECT_NE(report.message.find("StockDetail or the size groups changed while the online run "
                                "copied it; nothing was changed; run again"),
            std::string::npos)
      << report.message;
  // Found in the cut-over, and the copy removed after it.
  const Log& log = script.Log();
  EXPECT_LT(std::find(log.begin(), log.end(), kOldCheck),
            std::find(log.begin(), log.end(), kRemoveShadow));
  EXPECT_EQ(std::count(log.begin(), log.end(), kRemoveShadow), 1);
}

TEST_F(OnlineRun, ForeignKeysComeOffOnlyOnceTheCopyIsMadeAndAreCheckedAfterTheCommit) {
  detail.dependents = {{"StockDetail",
                        {{"F", "FK_Bill", "[dbo].[StockBill]", "0", "0", "0", std::nullopt, "1"},
                         {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"}}}};
  ScriptDatabase(false);
  const auto report = RunOnline();
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  Log keys;
  for (const auto& entry : From(Batch("o.[DetailID]>'k4' And o.[DetailID]<='k5'"))) {
    if (entry.find("FK_Bill") != std::string::npos || entry == "START TRANSACTION" ||
        entry == "COMMIT" || entry == kOldCheck) {
      keys.push_back(entry);
    }
  }
  EXPECT_EQ(keys, (Log{"START TRANSACTION",
                       "EXEC Alter Table [dbo].[StockDetail] Drop Constraint [FK_Bill]", "COMMIT",
                       "START TRANSACTION", kOldCheck, "COMMIT",
                       "EXEC Alter Table [dbo].[StockDetail] With NoCheck Add Constraint "
                       "[FK_Bill] Foreign Key ([BillID]) References [dbo].[StockBill] ([BillID])",
                       "EXEC Alter Table [dbo].[StockDetail] With Check Check Constraint "
                       "[FK_Bill]"}));
}

TEST_F(OnlineRun, APlanSaysWhatAnOnlineRunWouldDoAndWhatItFindsLeftBehind) {
  ScriptDatabase(false);
  script.Answer(rebuild::LeftoverQuery(), Column("name", {"SalesDetail"}));
  entry::RunDependencies deps = Dependencies();
  deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
    return rebuild::MakeRebuilders(access, box);
  };
  deps.plan = true;
  deps.online.enabled = true;
  Log planned;
  deps.observeStatement = [&planned](const std::string& text, sql::StatementOutcome outcome) {
    if (outcome != sql::StatementOutcome::kOk && outcome != sql::StatementOutcome::kFailed) {
      planned.push_back(text.substr(0, 60));
    }
  };
  deps.online.batchRows = 2;
  const auto report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  // Its writes in the order it would send them, the first batch standing
  // for all (each by its first 60 characters; the run's test has them whole).
  const auto first = std::find(planned.begin(), planned.end(),
                               "if exists (select * from dbo.sysobjects where id = object_id");
  EXPECT_EQ(Log(first, planned.end()),
            (Log{"if exists (select * from dbo.sysobjects where id = object_id",
                 "Create Table dbo.Tmp_StockDetail(DetailID Varchar(40) Not Nu",
                 "Alter Table dbo.Tmp_StockDetail Add Primary Key (DetailID)",
                 "Create Trigger [dbo].[slotsync_online_StockDetail] On [dbo].",
                 Batch("o.[DetailID]<='k2'").substr(5, 60),
                 "Select Count_Big(*),Sum(Cast([x_1] As BigInt)),Sum(Cast([x_2",
                 "Select Count_Big(*),Sum(Cast([x_1] As BigInt)),Sum(Cast([x_2",
                 "Drop Trigger [dbo].[slotsync_online_StockDetail]",
                 "if exists (select * from dbo.sysobjects where id = object_id",
                 "Create Table StockDetail_U(DetailID Varchar(40) Not Null Def",
                 "Alter Table StockDetail_U Add Primary Key (DetailID)",
                 "if exists (select * from dbo.sysobjects where id = object_id",
                 "Create Table StockDetail_I(DetailID Varchar(40) Not Null Def",
                 "Alter Table StockDetail_I Add Primary Key (DetailID)",
                 "if exists (select * from dbo.sysobjects where id = object_id",
                 "Create Table StockDetail_D(DetailID Varchar(40) Not Null Def",
                 "Alter Table StockDetail_D Add Primary Key (DetailID)",
                 "Drop Table StockDetail",
                 "sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'",
                 "Exec CreateInvoiceDetailTrigger 10",
                 "Update S_Modify Set Modified=0 Where TableTag=10"}));
  EXPECT_EQ(report.outcome, entry::Outcome::kPlanned) << report.message;
  Log notes;
  for (const auto& problem : report.findings.Problems()) {
    if (problem.message.find("online") != std::string::npos) notes.push_back(problem.message);
  }
  EXPECT_EQ(notes,
            (Log{"an earlier online run left the capture trigger dbo.slotsync_online_SalesDetail "
                 "on SalesDetail and the table dbo.Tmp_SalesDetail behind; an online run removes "
                 "them first",
                 "online: StockDetail is copied into dbo.Tmp_StockDetail while the shop works, in "
                 "batches of 2 rows (about 3), each its own transaction; the cut-over locks it "
                 "for two reads over its rows and dbo.Tmp_StockDetail (about 5 rows each) and a "
                 "fixed number of statements, and no lock wait lasts longer than 2 s"}));
  // A plan writes nothing, the leftovers' removal neither.
  EXPECT_EQ(std::count(script.Log().begin(), script.Log().end(), kRemoveCapture), 0);
}

// The link lost mid-copy: the removal on the run's own connection fails
// too, and a new connection, as --online --clean-up, tries once more.
TEST_F(OnlineRun, WhatALostLinkLeftIsRemovedOnANewConnection) {
  const std::string stays =
      "warning: the capture trigger dbo.slotsync_online_StockDetail and the table "
      "dbo.Tmp_StockDetail could not be removed (Communication link failure); the next online "
      "run removes them, or slotsync --online --clean-up";
  const struct {
    const char* name;
    bool newConnectionFails;
    std::string message;
  } cases[] = {
      {"removed", false,
       "Communication link failure\nwarning: the online run could not remove its new tables and "
       "captures on its own "
       "connection; a new connection removed them:\nwarning: removed what an earlier online run "
       "left behind: the capture trigger dbo.slotsync_online_StockDetail on StockDetail and the "
       "table dbo.Tmp_StockDetail"},
      {"not removed", true,
       stays + "\nCommunication link failure\nwarning: a new connection could not remove them "
               "either: Communication link failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    ScriptDatabase(false);
    const std::string lost = "Communication link failure";
    script.Fail(Batch("o.[DetailID]<='k2'").substr(5), lost, "08S01");
    script.Fail(rebuild::RemoveCaptureStatement("StockDetail"), lost, "08S01");
    if (c.newConnectionFails) {
      script.Fail(rebuild::RemoveCaptureStatement("StockDetail"), lost, "08S01");
    } else {
      script.Answer(rebuild::RemoveCaptureStatement("StockDetail"), {});
    }
    script.Answer(rebuild::LeftoverQuery(), Column("name", {}));
    script.Answer(rebuild::LeftoverQuery(), Column("name", {"StockDetail"}));
    script.Answer(DatabaseLockSql(), Column("", {"0"}));
    const auto report = RunOnline();
    EXPECT_EQ(report.outcome, entry::Outcome::kFailedBeforeTransaction);
    EXPECT_EQ(report.message, c.message);
    ASSERT_EQ(report.leftBehind.size(), c.newConnectionFails ? 1u : 0u);
    if (c.newConnectionFails) {
      EXPECT_EQ("warning: " + report.leftBehind[0].what, stays);
    }
    // The second try: a connection of its own, under the database lock.
    const Log again = From("CONNECT");
    EXPECT_EQ(std::count(script.Log().begin(), script.Log().end(), "CONNECT"), 2);
    EXPECT_NE(std::find(again.begin(), again.end(), "OPEN " + DatabaseLockSql()), again.end());
  }
}

TEST_F(OnlineRun, CleanUpOnlyRemovesLeftoversUnderTheDatabaseLock) {
  script.Answer(DatabaseLockSql(), Column("", {"0"}));
  script.Answer(rebuild::LeftoverQuery(), Column("name", {"StockDetail"}));
  entry::RunDependencies deps = Dependencies();
  deps.online.cleanUpOnly = true;
  const auto report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  EXPECT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  EXPECT_EQ(script.Statements(),
            (Log{"EXEC SET LOCK_TIMEOUT 2000", kLowDeadlockPriority.substr(0),
                 "OPEN " + DatabaseLockSql(), "OPEN " + rebuild::LeftoverQuery(), kRemoveCapture,
                 kRemoveShadow, kReleaseLock}));
}

}  // namespace
}  // namespace slotsync::testing
