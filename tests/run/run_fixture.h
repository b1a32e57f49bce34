#pragma once

// A restructure run wired to the scripted connection and to test doubles of
// the window and the rebuilders, all writing into one log.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "entry/preconditions.h"
#include "entry/restructure_run.h"
#include "entry/run_locks.h"
#include "entry/session_settings.h"
#include "scripted_connection.h"
#include "sql/statement_template.h"
#include "text/gbk.h"

namespace slotsync::testing {

inline const std::string kSizeSql = "Select top 1 * From Size";
inline const std::string kSlotCountSql =
    "Select Count(*),b.SizeGroupID From SizeGroup a,SizeGroupSize b Where "
    "a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID";
inline const std::string kColumnCountSql =
    "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like 'x_%%'";
inline const std::string kFlaggedSql =
    "Select * From S_Modify Where CanCreateFlag=1 and Modified=1 ";
// The rebuild path takes the database's application lock, then checks again.
// Its resource is the same whatever the spelling of the database's name.
inline std::string DatabaseLockSql(std::int32_t milliseconds = 0) {
  return sql::Format(
      "Declare @Result int Exec @Result=sp_getapplock @Resource=N'%s',"
      "@LockMode='Exclusive',@LockOwner='Session',@LockTimeout=%d Select @Result",
      entry::DatabaseLockResource(), milliseconds);
}
inline std::string ReleaseLockSql() {
  return "Exec sp_releaseapplock @Resource=N'" + entry::DatabaseLockResource() +
         "',@LockOwner='Session'";
}
// The rebuild path gives way in a deadlock whatever the lock timeout.
inline const std::string kLowDeadlockPriority = "EXEC SET DEADLOCK_PRIORITY LOW";
inline const std::vector<std::string> kLockAndRecheck = {
    kLowDeadlockPriority, "OPEN " + DatabaseLockSql(), "OPEN " + kSlotCountSql,
    "OPEN " + kColumnCountSql};
// The settings a run writes under, before its transaction.
inline const std::string kWriteSettings = "EXEC " + std::string(entry::kWriteSettingsSql);
inline const std::string kReleaseLock = "EXEC " + ReleaseLockSql();
// Read once flagged rows are found, before the window shows.
inline const std::string kPreconditionSql(entry::kPreconditionSql);

class FakeWindow final : public ui::ProgressView {
 public:
  explicit FakeWindow(Script& script) : script_(script) { script_.Note("WINDOW CREATE"); }
  ~FakeWindow() override { script_.Note("WINDOW DESTROY"); }
  FakeWindow(const FakeWindow&) = delete;
  FakeWindow& operator=(const FakeWindow&) = delete;
  void SetPrompt(const std::string& text) override {
    script_.Note("WINDOW PROMPT " + text::GbkToUtf8(text));
  }
  void StartAnimation() override { script_.Note("WINDOW ANIMATE"); }
  void Show() override { script_.Note("WINDOW SHOW"); }
  void RepaintNow() override { script_.Note("WINDOW REPAINT"); }
  void ProcessPendingMessages() override { script_.Note("WINDOW MESSAGES"); }

 private:
  Script& script_;
};

class FakeRebuilders final : public rebuild::Rebuilders {
 public:
  FakeRebuilders(Script& script, const std::map<std::int32_t, std::string>& failures,
                 const std::function<void()>& during)
      : script_(script), failures_(failures), during_(during) {}
  // The check before the transaction plans with the same rebuilders; these
  // stand-ins have nothing to plan and say so by leaving no trace.
  bool RebuildDetailTable(std::int32_t tag) override {
    if (findings_ == nullptr) Visit("DETAIL", tag);
    return true;
  }
  void RebuildTerminalTables(std::int32_t tag) override {
    if (findings_ == nullptr) Visit("TERMINAL", tag);
  }

 private:
  void Visit(const char* kind, std::int32_t tag) {
    script_.Note(std::string(kind) + " " + std::to_string(tag));
    if (during_) during_();
    if (auto it = failures_.find(tag); it != failures_.end()) {
      throw std::runtime_error(it->second);
    }
  }
  Script& script_;
  const std::map<std::int32_t, std::string>& failures_;
  const std::function<void()>& during_;
};

class NoNotices final : public ui::NoticeBox {
 public:
  int ShowNotice(const std::string&, unsigned) override {
    if (log != nullptr) log->Note("NOTICE");
    return ui::kNoticeOk;
  }
  Script* log = nullptr;  // set: each notice is noted there, in order
};

class RunFixture : public ::testing::Test {
 public:
  Script script;
  std::map<std::int32_t, std::string> rebuildFailures;
  std::function<void()> duringRebuild;
  std::vector<entry::SizeConnectionSettings> clientsMade;
  NoNotices notices;
  bool dryRun = false;
  bool requireEncryption = false;

  entry::RunDependencies Dependencies() {
    entry::RunDependencies deps;
    deps.makeClient = [this](const entry::SizeConnectionSettings& settings) {
      clientsMade.push_back(settings);
      return std::make_unique<ScriptedConnection>(script);
    };
    deps.makeProgressView = [this] { return std::make_unique<FakeWindow>(script); };
    deps.makeRebuilders = [this](sql::SqlAccess&, ui::NoticeBox&) {
      return std::make_unique<FakeRebuilders>(script, rebuildFailures, duringRebuild);
    };
    deps.notices = &notices;
    deps.dryRun = dryRun;
    deps.requireEncryption = requireEncryption;
    return deps;
  }

  entry::RunReport RunIt() {
    return entry::RunRestructure({"srv", "db", "sa", "pw"}, Dependencies());
  }

  // A database whose size groups say N and whose StockDetailTemp has m slots.
  void ScriptCounts(std::int32_t n, std::int32_t m) {
    script.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
    script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {{std::to_string(n), "1"}}));
    script.Answer(kColumnCountSql, Column("", {std::to_string(m)}));
    script.Answer(DatabaseLockSql(), Column("", {"0"}));
  }

  void ScriptFlagged(const std::vector<std::int32_t>& tags) {
    sql::ResultSet rows = Rows({"TableTag", "TableName", "CanCreateFlag", "Modified"}, {});
    for (auto tag : tags) rows.rows.push_back({std::to_string(tag), "T", "1", "1"});
    script.Answer(kFlaggedSql, rows);
  }
};

}  // namespace slotsync::testing
