// Every call of a whole run made to fail in turn. The run has two detail and
// two per-terminal tables to rebuild with the real rebuilders; for each
// position of its successful log, a fresh run fails the call there and the
// test checks how the run ends: the outcome, whether it rolled back, that it
// sent nothing after the failure but the rollback, the order in which it
// released the connection and the window, and the message it kept.
//
// The statement object comes first in that order: SqlConnection's destructor
// terminates the process when a statement object still refers to it, so a
// run that got this wrong could not reach the checks at all.

#include <algorithm>
#include <iostream>
#include <iterator>
#include <sstream>

#include "entry/restructure_run.h"
#include "four_tables.h"
#include "run_fixture.h"

namespace slotsync::testing {
namespace {

using entry::Outcome;

const std::string kFailure = "simulated failure";
const std::string kRollbackFailure = "simulated rollback failure";

// The entries the client is asked for; the others are what the fakes note.
bool IsCall(const std::string& entry) {
  return entry == "CONNECT" || entry == "START TRANSACTION" || entry == "COMMIT" ||
         entry == "ROLLBACK" || entry == "DISCONNECT" || entry.starts_with("OPEN ") ||
         entry.starts_with("EXEC ");
}

// The two drops whose failure the rebuilders ignore: the detail rebuild's
// "if exists ... Drop Table" for its four new tables and its "Drop Table" of
// the old one, and the per-terminal rebuild's "Drop Table".
bool IsIgnoredDrop(const std::string& entry) {
  return entry.starts_with(
             "EXEC if exists (select * from dbo.sysobjects where id = object_id(N'") ||
         entry.starts_with("EXEC Drop Table ");
}

// The reads of each table's rights, of the room in the database's files and
// of who else uses the database: a server that does not answer them leaves
// the run as it was without them.
bool IsRightsOrSpaceRead(const std::string& entry) {
  return entry.starts_with("OPEN Select HAS_PERMS_BY_NAME(") ||
         entry.find(" From sys.dm_db_") != std::string::npos ||
         entry.find(" From sys.database_files") != std::string::npos ||
         entry.find(" From sys.partitions p Join") != std::string::npos ||
         entry.find(" From sys.databases Where") != std::string::npos ||
         entry.find(" From sys.dm_exec_sessions") != std::string::npos ||
         entry.find(" From sys.triggers t Where t.parent_class") != std::string::npos;
}

bool LinkBreaks(const std::string& sqlState) {
  return sqlState.starts_with("08");
}

std::string Describe(const std::vector<std::string>& log) {
  std::ostringstream out;
  for (std::size_t i = 0; i < log.size(); ++i) out << "  " << i << ": " << log[i] << '\n';
  return out.str();
}

class FaultSweep : public RunFixture {
 protected:
  void SetUp() override {
    baseline_ = Run([](Script&) {});
    ASSERT_EQ(baselineReport_.outcome, Outcome::kCommitted) << baselineReport_.message;
    ASSERT_EQ(baselineReport_.rebuiltTables, 4);
    const auto at = [this](const std::string& entry) {
      return static_cast<std::size_t>(std::find(baseline_.begin(), baseline_.end(), entry) -
                                      baseline_.begin());
    };
    start_ = at("START TRANSACTION");
    // The check before the transaction reads every table, from the first
    // S_Modify row read to the window.
    preflightStart_ = at("OPEN Select * from S_Modify Where TableTag=10");
    preflightEnd_ = at("WINDOW PROMPT " + text::GbkToUtf8(entry::kRebuildingPrompt)) - 1;
    commit_ = at("COMMIT");
    lock_ = at("OPEN " + DatabaseLockSql());
    disconnect_ = at("DISCONNECT");
    ASSERT_LT(start_, commit_);
    ASSERT_LT(commit_, disconnect_);
    ASSERT_LT(disconnect_, baseline_.size());
    ASSERT_EQ(std::count(baseline_.begin(), baseline_.end(), "ROLLBACK"), 0);
  }

  // A fresh run over the four-table database, `failures` scripted on top.
  std::vector<std::string> Run(const std::function<void(Script&)>& failures) {
    script = Script();
    FourTables().Apply(*this);
    failures(script);
    const entry::RunReport report =
        entry::RunRestructure({"srv", "db", "sa", "pw"}, WithRealRebuilders(Dependencies()));
    if (baseline_.empty()) baselineReport_ = report;
    report_ = report;
    return script.Log();
  }

  // The TableTag whose rebuild is under way at `position`: each rebuild
  // starts by reading its S_Modify row.
  std::int32_t TableAt(std::size_t position) const {
    const std::string start = "OPEN Select * from S_Modify Where TableTag=";
    // The check before the transaction reads the flagged tables in turn too.
    for (std::size_t i = position + 1; i-- > 0;) {
      if (baseline_[i].starts_with(start)) return std::stoi(baseline_[i].substr(start.size()));
    }
    ADD_FAILURE() << "no rebuild under way at " << position;
    return 0;
  }

  std::vector<std::string> Prefix(std::size_t position) const {
    return {baseline_.begin(), baseline_.begin() + static_cast<std::ptrdiff_t>(position) + 1};
  }

  static std::vector<std::string> Then(std::vector<std::string> log,
                                       const std::vector<std::string>& tail) {
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
  }

  // What every run must end with, however it went: the connection released
  // before the window, and nothing after that.
  static void ExpectReleaseOrder(const std::vector<std::string>& log) {
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front(), "WINDOW CREATE");
    EXPECT_EQ(log[log.size() - 2], "RELEASE");
    EXPECT_EQ(log.back(), "WINDOW DESTROY");
    EXPECT_EQ(std::count(log.begin(), log.end(), "RELEASE"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "WINDOW DESTROY"), 1);
  }

  // The log of a run that rolled back after the call at `position` failed:
  // nothing but the rollback after the failure, then the disconnect and the
  // messages of the shown window.
  std::vector<std::string> RolledBackAt(std::size_t position) const {
    return Then(Prefix(position), {"ROLLBACK", kReleaseLock, "DISCONNECT", "WINDOW MESSAGES",
                                   "RELEASE", "WINDOW DESTROY"});
  }

  std::vector<std::size_t> CallPositions() const {
    std::vector<std::size_t> positions;
    for (std::size_t p = 0; p < baseline_.size(); ++p) {
      if (IsCall(baseline_[p])) positions.push_back(p);
    }
    return positions;
  }

  // Checks the run that failed the call at `position` with `sqlState`.
  void CheckFailureAt(std::size_t position, const std::string& sqlState) {
    const std::string& entry = baseline_[position];
    SCOPED_TRACE("failing " + std::to_string(position) + ": " + entry + " (" + sqlState + ")");
    const std::vector<std::string> log =
        Run([&](Script& s) { s.FailCallAt(position, kFailure, sqlState); });
    ExpectReleaseOrder(log);
    const bool rolledBack = std::count(log.begin(), log.end(), "ROLLBACK") > 0;

    if (IsRightsOrSpaceRead(entry) && !LinkBreaks(sqlState)) {
      EXPECT_EQ(report_.outcome, Outcome::kCommitted) << report_.message;
      EXPECT_EQ(log, baseline_) << Describe(log);
    } else if (position <= start_ && InPreflight(position) && !LinkBreaks(sqlState)) {
      // A read of the check before the transaction: a problem of its table.
      // The check goes on to the other tables, then the run stops with
      // every problem listed, having sent nothing but reads.
      EXPECT_EQ(report_.outcome, Outcome::kFailedBeforeTransaction);
      EXPECT_TRUE(std::all_of(log.begin(), log.end(), [](const std::string& e) {
        return (!e.starts_with("EXEC ") || e == kReleaseLock || e == kLowDeadlockPriority) &&
               e != "START TRANSACTION";
      })) << Describe(log);
      for (const std::int32_t tag : FourTables().Tags()) {
        const std::string read =
            "OPEN Select * from S_Modify Where TableTag=" + std::to_string(tag);
        EXPECT_NE(std::find(log.begin(), log.end(), read), log.end()) << tag;
      }
      EXPECT_EQ(report_.message, "the run cannot start; nothing was changed:\n  - TableTag " +
                                     std::to_string(TableAt(position)) + ": " + kFailure);
    } else if (position <= start_) {
      // Before the transaction, StartTransaction itself included: the run
      // gives up and releases what it made. A failed change check is
      // followed by a look at the collation, which may explain it.
      EXPECT_EQ(report_.outcome, Outcome::kFailedBeforeTransaction);
      std::vector<std::string> tail = {"RELEASE", "WINDOW DESTROY"};
      // Once the database lock is held, it is given back at once.
      if (position > lock_) tail.insert(tail.begin(), kReleaseLock);
      if (entry == "OPEN " + kColumnCountSql && !LinkBreaks(sqlState)) {
        tail.insert(tail.begin(), "OPEN " + std::string(entry::kCollationSql));
      }
      EXPECT_EQ(log, Then(Prefix(position), tail)) << Describe(log);
      EXPECT_FALSE(rolledBack);
      EXPECT_EQ(report_.message, kFailure);
      EXPECT_FALSE(report_.failedTableTag.has_value());
    } else if (position < commit_ && IsIgnoredDrop(entry) && !LinkBreaks(sqlState)) {
      // The one failure a rebuild goes on after, once the server has said
      // that the transaction is still open.
      EXPECT_EQ(report_.outcome, Outcome::kCommitted) << report_.message;
      std::vector<std::string> expected = Prefix(position);
      expected.push_back("OPEN " + std::string(sql::kTransactionStateSql));
      // Then whether the table is gone, which the unscripted answer says.
      expected.push_back("OPEN Select Object_ID(N'" + entry.substr(entry.rfind("Drop Table ") + 11) +
                         "')");
      expected.insert(expected.end(), baseline_.begin() + static_cast<std::ptrdiff_t>(position) + 1,
                      baseline_.end());
      EXPECT_EQ(log, expected) << Describe(log);
      EXPECT_EQ(report_.rebuiltTables, 4);
      EXPECT_EQ(report_.message, "");
    } else if (position < commit_ && IsIgnoredDrop(entry)) {
      // A drop lost with the link took the transaction with it: nothing may
      // go on in a new one.
      const std::int32_t tag = TableAt(position);
      EXPECT_EQ(report_.outcome, Outcome::kRolledBack);
      EXPECT_EQ(log, RolledBackAt(position)) << Describe(log);
      EXPECT_EQ(report_.failedTableTag, tag);
      EXPECT_EQ(report_.message, "TableTag " + std::to_string(tag) +
                                     ": the server ended the transaction when '" + entry.substr(5) +
                                     "' failed (a failure that always ends it): " + kFailure);
    } else if (position < commit_) {
      const std::int32_t tag = TableAt(position);
      EXPECT_EQ(report_.outcome, Outcome::kRolledBack);
      EXPECT_EQ(log, RolledBackAt(position)) << Describe(log);
      EXPECT_EQ(report_.failedTableTag, tag);
      EXPECT_EQ(report_.rebuiltTables, 0);
      EXPECT_EQ(report_.message, "TableTag " + std::to_string(tag) + ": " + kFailure);
    } else if (position == commit_) {
      // A commit lost with the link cannot be told from one that took.
      const bool lost = LinkBreaks(sqlState);
      EXPECT_EQ(report_.outcome, lost ? Outcome::kCommitUnknown : Outcome::kRolledBack);
      EXPECT_EQ(log, RolledBackAt(position)) << Describe(log);
      EXPECT_FALSE(report_.failedTableTag.has_value());
      EXPECT_EQ(report_.message, "commit failed: " + kFailure);
    } else if (position + 1 == disconnect_) {
      // The lock's release: committed all the same, and the session's end
      // releases it.
      EXPECT_EQ(report_.outcome, Outcome::kCommitted);
      EXPECT_EQ(log, baseline_) << Describe(log);
      EXPECT_EQ(report_.message, "warning: releasing the database lock failed: " + kFailure);
    } else {
      ASSERT_EQ(position, disconnect_);
      // Committed already: the messages are still handled and everything
      // released, and the failure is on record.
      EXPECT_EQ(report_.outcome, Outcome::kCommitted);
      EXPECT_EQ(log, baseline_) << Describe(log);
      EXPECT_EQ(report_.rebuiltTables, 4);
      EXPECT_EQ(report_.message, "disconnect failed: " + kFailure);
    }
    // A rollback exactly when the failure came inside the transaction and
    // stopped it.
    const bool stopsTransaction =
        position > start_ && position <= commit_ && (!IsIgnoredDrop(entry) || LinkBreaks(sqlState));
    EXPECT_EQ(rolledBack, stopsTransaction);
  }

  std::vector<std::string> baseline_;
  entry::RunReport baselineReport_;
  entry::RunReport report_;
  std::size_t start_ = 0, commit_ = 0, disconnect_ = 0, lock_ = 0;
  std::size_t preflightStart_ = 0, preflightEnd_ = 0;

  bool InPreflight(std::size_t position) const {
    return position >= preflightStart_ && position <= preflightEnd_;
  }
};

TEST_F(FaultSweep, TheSuccessfulRunRebuildsAllFourTablesInOneTransaction) {
  EXPECT_EQ(std::vector<std::string>(baseline_.begin() + static_cast<std::ptrdiff_t>(commit_),
                                     baseline_.end()),
            (std::vector<std::string>{"COMMIT", kReleaseLock, "DISCONNECT", "WINDOW MESSAGES",
                                      "RELEASE", "WINDOW DESTROY"}));
  std::vector<std::string> cleared;
  for (const auto& entry : baseline_) {
    if (entry.starts_with("EXEC Update S_Modify Set Modified=0")) cleared.push_back(entry);
  }
  EXPECT_EQ(cleared,
            (std::vector<std::string>{"EXEC Update S_Modify Set Modified=0 Where TableTag=10",
                                      "EXEC Update S_Modify Set Modified=0 Where TableTag=101",
                                      "EXEC Update S_Modify Set Modified=0 Where TableTag=450",
                                      "EXEC Update S_Modify Set Modified=0 Where TableTag=600"}));
  // The sweep below reaches every kind of call: the connect, the reads before
  // the transaction, its start, each table's statements with their ignored
  // drops (five for a detail table, one for a per-terminal one), the commit
  // and the disconnect.
  std::map<std::int32_t, int> statements, drops;
  for (const std::size_t p : CallPositions()) {
    if (p <= start_ || p >= commit_) continue;
    ++statements[TableAt(p)];
    if (IsIgnoredDrop(baseline_[p])) ++drops[TableAt(p)];
  }
  EXPECT_EQ(drops, (std::map<std::int32_t, int>{{10, 5}, {101, 1}, {450, 5}, {600, 1}}));
  EXPECT_EQ(statements.size(), 4u);
  EXPECT_EQ(
      Prefix(preflightStart_ - 1),
      (std::vector<std::string>{
          "WINDOW CREATE", "CONNECT", "OPEN " + kSizeSql, "OPEN " + kSlotCountSql,
          "OPEN " + kColumnCountSql, kLockAndRecheck[0], kLockAndRecheck[1], kLockAndRecheck[2],
          kLockAndRecheck[3], "OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql}));
  // The check before the transaction reads every flagged table, and only reads.
  for (std::size_t p = preflightStart_; p <= preflightEnd_; ++p) {
    EXPECT_TRUE(baseline_[p].starts_with("OPEN Select ")) << baseline_[p];
  }
  EXPECT_EQ(
      std::vector<std::string>(baseline_.begin() + static_cast<std::ptrdiff_t>(preflightEnd_) + 1,
                               baseline_.begin() + static_cast<std::ptrdiff_t>(start_) + 1),
      (std::vector<std::string>{"WINDOW PROMPT " + text::GbkToUtf8(entry::kRebuildingPrompt),
                                "WINDOW ANIMATE", "WINDOW SHOW", "WINDOW REPAINT", kWriteSettings,
                                "START TRANSACTION"}));
  const std::size_t calls = CallPositions().size();
  RecordProperty("positions", static_cast<int>(calls));
  std::cout << "[ sweep    ] " << calls << " call positions in the successful run\n";
}

// Each call fails with an ordinary server error.
TEST_F(FaultSweep, EveryCallFailingInTurn) {
  for (const std::size_t position : CallPositions()) CheckFailureAt(position, "42000");
}

// Each call fails because the link broke: only the commit ends differently.
TEST_F(FaultSweep, EveryCallLosingTheConnectionInTurn) {
  for (const std::size_t position : CallPositions()) CheckFailureAt(position, "08S01");
}

// Each failure that makes the run roll back, with the rollback failing too:
// the run still ends, releases everything and keeps both messages.
TEST_F(FaultSweep, EveryRollbackFailingAfterEveryFailureThatCausesOne) {
  std::size_t swept = 0;
  for (const std::size_t position : CallPositions()) {
    if (position <= start_ || position > commit_ || IsIgnoredDrop(baseline_[position])) continue;
    for (const std::string sqlState : {"42000", "08S01"}) {
      SCOPED_TRACE("failing " + std::to_string(position) + ": " + baseline_[position] +
                   " and the rollback after it (" + sqlState + ")");
      const std::vector<std::string> log = Run([&](Script& s) {
        s.FailCallAt(position, kFailure, sqlState);
        s.FailCallAt(position + 1, kRollbackFailure, sqlState);
      });
      ExpectReleaseOrder(log);
      EXPECT_EQ(log, RolledBackAt(position)) << Describe(log);
      const std::string first =
          position == commit_ ? "commit failed: " + kFailure
                              : "TableTag " + std::to_string(TableAt(position)) + ": " + kFailure;
      EXPECT_EQ(report_.message, first + "\nrollback failed: " + kRollbackFailure);
      const bool unknown = position == commit_ && sqlState == std::string("08S01");
      EXPECT_EQ(report_.outcome, unknown ? Outcome::kCommitUnknown : Outcome::kRolledBack);
      ++swept;
    }
  }
  EXPECT_GT(swept, 0u);
  std::cout << "[ sweep    ] " << swept << " failing rollbacks\n";
}

}  // namespace
}  // namespace slotsync::testing
