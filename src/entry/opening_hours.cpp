#include "entry/opening_hours.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "sql/sql_error.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

// A read the server refused is a figure unknown; a lost link or a cancelled
// run ends the run as any other read would.
std::optional<sql::SqlError> TryRead(sql::SqlAccess& access, const char* text,
                                     const std::function<void(sql::SqlQuery&)>& use) {
  try {
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    query.SetText(text);
    query.Open();
    use(query);
    return std::nullopt;
  } catch (const sql::SqlError& e) {
    if (e.ConnectionLost() || e.SqlState() == "HY008") throw;
    return e;
  }
}

std::string Field(const sql::SqlQuery& query, std::string_view column) {
  const auto field = query.FindField(column);
  return field && !field->IsNull() ? field->AsString() : std::string();
}

bool Nonzero(const std::string& value) {
  return !value.empty() && value != "0";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

class OpeningHours {
 public:
  OpeningHours(sql::SqlAccess& access, std::vector<rebuild::Problem>& notes)
      : access_(access), notes_(notes) {}

  // Every read is made, whatever an earlier one gave, so that the run's
  // reads do not depend on the answers.
  void Read() {
    const bool seesSessions = DatabaseState();
    Replicas();
    Sessions(seesSessions);
    DdlTriggers();
  }

 private:
  void Note(std::string message) {
    notes_.push_back({0, rebuild::Severity::kNote, std::move(message)});
  }

  // Says what the database's row says; gives whether the login may see the
  // other sessions.
  bool DatabaseState() {
    bool sees = false;
    const auto failed = TryRead(access_, kDatabaseStateSql, [&](sql::SqlQuery& query) {
      if (query.Empty()) return;
      const bool azure = Field(query, "EngineEdition") == "5";
      sees = Field(query, "SeesServer") == "1" || (azure && Field(query, "SeesDatabase") == "1");
      if (Nonzero(Field(query, "snapshot_isolation_state"))) {
        Note(text::Tr(
            "the database allows snapshot isolation: a session in a snapshot transaction begun "
            "before the run commits gets error 3961 when it reads a rebuilt table afterwards, "
            "and must begin its transaction again"));
      }
      if (Field(query, "is_read_committed_snapshot_on") == "1") {
        Note(text::Tr(
            "read committed snapshot is on, yet readers still wait for the run's schema locks on "
            "the tables it rebuilds until it commits"));
      }
      const std::string model = Field(query, "recovery_model_desc");
      if (!model.empty()) {
        Note(text::TrFormat(
            // TRANSLATORS: the first %s is the recovery model (FULL, SIMPLE), the second what the
            // log waits for now (NOTHING, LOG_BACKUP, ...), as the server names them.
            "while the run's transaction is open, neither a log backup nor a checkpoint frees "
            "the log behind it (recovery model %s; the log now waits for %s)",
            model, Field(query, "log_reuse_wait_desc")));
      }
    });
    if (failed) {
      Note(text::TrFormat("the database's settings could not be read: %s", failed->what()));
    }
    return sees;
  }

  void Replicas() {
    bool replicated = false;
    const auto failed = TryRead(access_, kReplicaSql, [&](sql::SqlQuery& query) {
      replicated = !query.Empty() && !query.Field(0).IsNull() && Nonzero(query.Field(0).AsString());
    });
    // Before SQL Server 2012 the column (and availability groups) is missing.
    if (failed && !failed->HasNativeError(207)) {
      Note(text::TrFormat("whether the database has replicas could not be read: %s",
                          failed->what()));
    }
    if (replicated) {
      Note(text::Tr(
          "the database is in an availability group: on a readable secondary, redo of the run's "
          "schema changes waits for the queries that read the rebuilt tables there, and the "
          "secondary falls behind until they end"));
    }
  }

  void Sessions(bool seesSessions) {
    std::vector<std::string> programs;
    std::int64_t total = 0;
    const auto failed = TryRead(access_, kSessionsSql, [&](sql::SqlQuery& query) {
      for (; !query.End(); query.Next()) {
        const std::string count = query.Field(1).AsString();
        const std::string program = query.Field(0).IsNull() || query.Field(0).AsString().empty()
                                        ? text::Tr("no program name")
                                        : query.Field(0).AsString();
        // TRANSLATORS: how many sessions one program has connected ("12 of POS").
        programs.push_back(text::TrFormat("%s of %s", count, program));
        try {
          total += std::stoll(count);
        } catch (const std::exception&) {
        }
      }
    });
    if (failed || !seesSessions) {
      Note(text::Tr(
          "the sessions connected to the database could not be read (the login needs VIEW "
          "SERVER STATE, and the server SQL Server 2012 or later), so the run does not know who "
          "its locks will stop"));
      return;
    }
    if (programs.empty()) {
      Note(text::Tr("no other session is connected to the database now"));
      return;
    }
    Note(text::TrPlural(
        "%d other session is connected to the database now (%s): the run's locks stop its work "
        "on the tables it rebuilds until it commits",
        "%d other sessions are connected to the database now (%s): the run's locks stop their "
        "work on the tables it rebuilds until it commits",
        total, total, Joined(programs)));
  }

  void DdlTriggers() {
    std::vector<std::string> names;
    const auto failed = TryRead(access_, kDdlTriggersSql, [&](sql::SqlQuery& query) {
      for (; !query.End(); query.Next()) names.push_back(query.Field(0).AsString());
    });
    if (failed) {
      Note(text::TrFormat("the database's DDL triggers could not be read: %s", failed->what()));
    } else if (!names.empty()) {
      Note(text::TrFormat(
          "database DDL triggers fire on the run's statements: %s; they run inside its "
          "transaction, and one that fails rolls the whole run back",
          Joined(names)));
    }
  }

  sql::SqlAccess& access_;
  std::vector<rebuild::Problem>& notes_;
};

// The change tables of each detail table hold what the shop has not yet
// sent on; the rebuild recreates them empty.
void EmptiedChanges(const std::vector<rebuild::TablePlan>& tables,
                    std::vector<rebuild::Problem>& notes) {
  for (const rebuild::TablePlan& table : tables) {
    if (table.kind != rebuild::TableKind::kDetail) continue;
    std::vector<std::string> held;
    bool any = false;
    for (const auto& [name, rows] : table.emptied) {
      if (!rows) continue;
      any = any || *rows > 0;
      // TRANSLATORS: a table and the rows it holds ("StockDetail_U (12 rows)").
      held.push_back(text::TrPlural("%s (%d row)", "%s (%d rows)", *rows, name, *rows));
    }
    if (!any) continue;
    notes.push_back({table.tableTag, rebuild::Severity::kNote,
                     text::TrFormat("the rebuild empties %s; changes recorded there may not have "
                                    "reached head office yet: send them before the run",
                                    Joined(held))});
  }
}

}  // namespace

std::vector<rebuild::Problem> OpeningHoursNotes(sql::SqlAccess& access,
                                                const std::vector<rebuild::TablePlan>& tables) {
  std::vector<rebuild::Problem> notes;
  const bool rebuilds = std::any_of(tables.begin(), tables.end(), [](const auto& table) {
    return table.kind != rebuild::TableKind::kNothingToDo;
  });
  if (!rebuilds) return notes;
  OpeningHours(access, notes).Read();
  EmptiedChanges(tables, notes);
  return notes;
}

}  // namespace slotsync::entry
