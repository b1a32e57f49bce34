#pragma once

// What a rebuilt table holds beyond the columns the dictionary describes:
// secondary indexes, constraints, triggers, permissions and descriptions,
// and the facts that keep a table from being dropped and recreated at all.
// The rebuilds drop the old table and create a new one from the dictionary,
// so whatever the catalog holds about the old one is read first, carried
// over to the new one inside the run's transaction, reported as lost where
// the column it stood on goes away, or refused before anything is locked.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "rebuild/rebuild_steps.h"
#include "sql/sql_access.h"

namespace slotsync::rebuild {

// Each dependent's `outsideGbk` says its catalog text holds characters code
// page 936 cannot: the run, which speaks GBK, could not send it back unchanged.

struct IndexColumn {
  std::string name;
  bool descending = false;
  bool included = false;
};

struct IndexInfo {
  bool outsideGbk = false;
  std::string name;
  bool unique = false;
  bool uniqueConstraint = false;  // made by "Unique", not by "Create Index"
  bool clustered = false;
  bool ignoreDuplicateKey = false;
  bool disabled = false;
  bool padded = false;
  std::int32_t fillFactor = 0;  // 0: the server's default
  std::string compression;      // NONE, ROW, PAGE...
  std::string filter;           // "([Qty]>(0))", or empty
  std::vector<IndexColumn> columns;
  bool rowLocksOff = false;   // ALLOW_ROW_LOCKS = OFF
  bool pageLocksOff = false;  // ALLOW_PAGE_LOCKS = OFF
  bool noRecompute = false;   // STATISTICS_NORECOMPUTE = ON
};

struct CheckInfo {
  bool outsideGbk = false;
  std::string name;
  std::string definition;
  bool disabled = false;
  bool notTrusted = false;
  // Calls a function (or a type's method) that is not built in: checking the
  // copied rows would run it under the run's login for every row.
  bool callsUserCode = false;
  bool notForReplication = false;
};

struct DefaultInfo {
  bool outsideGbk = false;
  std::string name;
  std::string column;
  std::string definition;
};

struct ForeignKeyInfo {
  bool outsideGbk = false;
  std::string name;
  std::string referencedTable;                               // quoted, schema-qualified
  std::vector<std::pair<std::string, std::string>> columns;  // this table's, the referenced one's
  std::int32_t onDelete = 0;  // 0 no action, 1 cascade, 2 set null, 3 set default
  std::int32_t onUpdate = 0;
  bool disabled = false;
  bool notTrusted = false;
  bool mayReference = true;  // the login has REFERENCES on the referenced table
  bool notForReplication = false;
};

// A trigger fired first or last for a statement (sp_settriggerorder).
struct TriggerOrder {
  std::string statement;  // INSERT, UPDATE or DELETE
  bool first = false;     // else last
};

struct TriggerInfo {
  bool outsideGbk = false;
  std::string name;
  std::string definition;  // empty when encrypted
  bool encrypted = false;
  bool disabled = false;
  bool settingsOff = false;  // created with ANSI_NULLS or QUOTED_IDENTIFIER off
  // The user it runs as (EXECUTE AS SELF or 'user'); empty when it runs as
  // its caller or its owner, which the definition says by itself.
  std::string executeAs;
  bool executeAsRunUser = false;  // that user is the run's own database user
  bool mayImpersonate = false;    // the login has IMPERSONATE on that user
  std::vector<TriggerOrder> order;
};

struct PermissionInfo {
  bool outsideGbk = false;
  char state = 'G';  // G grant, W grant with grant option, D deny
  std::string permission;
  std::string grantee;
  std::string column;  // empty for the table as a whole
  // Who gave it, when that is not the run's own database user (empty then),
  // and whether the login may give it in that principal's name (GRANT ... AS).
  std::string grantor;
  bool mayGrantAs = false;
};

// A view or inline function that reads the table without being bound to its
// schema: it keeps the column list it was created with ("Select *" shifts)
// until it is refreshed.
struct ReaderInfo {
  bool outsideGbk = false;
  std::string schema;
  std::string name;
  bool function = false;  // an inline table-valued function, else a view
  bool mayAlter = true;   // the login has ALTER on it, which a refresh needs
};

struct PropertyInfo {
  bool outsideGbk = false;
  std::string name;
  std::string value;
  std::string column;  // empty for the table
  bool notText = false;
};

// Everything the catalog says about one table.
struct TableDependents {
  std::string table;
  bool exists = false;
  std::vector<IndexInfo> indexes;
  std::vector<CheckInfo> checks;
  std::vector<DefaultInfo> defaults;
  std::vector<ForeignKeyInfo> foreignKeys;
  std::vector<TriggerInfo> triggers;
  std::vector<PermissionInfo> permissions;
  std::vector<PropertyInfo> properties;
  std::vector<ReaderInfo> readers;
  // What keeps the table from being dropped and recreated, each one a
  // sentence saying what it is and what to do.
  std::vector<std::string> obstacles;
  bool mayGrant = true;      // CONTROL on the table, which re-granting needs
  std::int32_t runUser = 0;  // the principal_id of the run's own database user; 0 unknown
  // The catalog shows the login every permission on the table only with
  // VIEW DEFINITION: without it the grants to other principals are hidden.
  bool grantsHidden = false;
  std::int32_t lockEscalation = 0;   // sys.tables.lock_escalation: 0 TABLE, 1 DISABLE, 2 AUTO
  std::int32_t dataCompression = 0;  // of the heap or clustered index: 0 NONE, 1 ROW, 2 PAGE
};

// The one catalog read of a table's dependents ("$T" stands for the table's
// Object_ID). Empty when the table is not there.
std::string DependentsQuery(const std::string& table);
TableDependents ReadTableDependents(sql::SqlAccess& access, const std::string& table);

// Which of a table's dependents the rebuild re-creates: a main table (the
// detail table, the per-terminal table) gets all of them back, a companion
// of a detail table, recreated empty by design, its permissions and indexes.
enum class CarryScope { kEverything, kPermissionsAndIndexes };

// What the new table will look like, for deciding what fits on it.
struct NewTableShape {
  std::vector<ColumnDefinition> columns;
  // Names the rebuild's own statements give (its primary key, its index):
  // an old one of the same name is the rebuild's to make.
  std::vector<std::string> ownNames;
  bool clusteredPrimaryKey = false;  // the key takes the table's one clustered index
};

// A carried statement and the table (or view) whose lock it would wait for,
// named to the user when that wait runs out.
struct CarryStatement {
  std::string text;
  std::string waitsFor;
};

struct Carry {
  std::vector<CarryStatement> statements;  // all but the triggers, in order
  std::vector<TriggerInfo> triggers;       // sent after the rest, each only if no namesake exists
  std::vector<ReaderInfo> refreshes;       // refreshed last, once the table has its new columns
  // Every foreign key of the old table: none is sent with the statements
  // above, the run moves them around its transaction (findings.h).
  std::vector<KeyMove> keys;
  std::string table;
  CarriedCounts counts;           // triggers counted as planned; the run corrects them
  std::vector<std::string> lost;  // "index IX_A (on x_13, which the new table drops)"
  std::vector<std::string> refusals;
  // Some statement takes its grantor or identity from the user who sends it
  // (a grant the run's own user gave, a trigger that runs as that user): a
  // plan's script checks that it runs as that user.
  std::int32_t runUser = 0;
  bool sentAsRunUser = false;
  // A script's check that the table still holds what was planned
  // (DependentsGuard); set by whoever plans with the table's TableTag.
  std::string stateGuard;
};

Carry PlanCarry(const TableDependents& dependents, const NewTableShape& shape, CarryScope scope);

// A script's check, before the table's first write: the table still has as
// many indexes, check and default constraints, foreign keys, triggers and
// grants as the plan read, so that what the script carries is what is
// there. Counts are enough to see an object added or dropped since.
std::string DependentsGuard(std::int32_t tableTag, const TableDependents& dependents);

// "If Object_ID(...) Is Null Exec(N'...')": the application's own trigger
// procedure may already have made one of that name, and then it wins.
std::string TriggerStatement(const std::string& table, const TriggerInfo& trigger);
// The read the run makes first, to say truly whether it was carried.
std::string TriggerExistsQuery(const TriggerInfo& trigger);

// Each carry's refusals recorded for the plan (with what it would carry and
// lose) or, in a run, the first one thrown as "TableTag %d: ...".
void FlagCarries(Findings* findings, std::int32_t tableTag, const std::vector<Carry>& carries);

// Told what a rebuild carried over to its new tables and what it lost.
using DependentsCarried =
    std::function<void(const CarriedCounts& carried, const std::vector<std::string>& lost)>;

// Sends the carries' statements on the run's connection, after the table's
// own statements. A trigger whose namesake the application's own procedure
// has made is left out, and said so.
void CarryDependents(sql::SqlAccess& access, const std::vector<Carry>& carries,
                     const DependentsCarried& carried);

}  // namespace slotsync::rebuild
