#pragma once

// What the run does to whoever else uses the database while it holds its
// transaction, said before any lock: the application's sessions connected
// now, readers under row versioning, replicas whose redo waits, the log
// that cannot be reused, DDL triggers that fire on the run's statements,
// and the change tables the rebuild empties. All notes: the run may go on,
// but whoever starts it should know what it stops.

#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The database's row: versioning, recovery model, what holds its log now,
// and whether the login may see other sessions (VIEW SERVER STATE; VIEW
// DATABASE STATE on Azure SQL Database, engine edition 5).
inline constexpr const char* kDatabaseStateSql =
    "Select snapshot_isolation_state,is_read_committed_snapshot_on,recovery_model_desc,"
    "log_reuse_wait_desc,HAS_PERMS_BY_NAME(NULL,NULL,'VIEW SERVER STATE') As SeesServer,"
    "HAS_PERMS_BY_NAME(DB_NAME(),'DATABASE','VIEW DATABASE STATE') As SeesDatabase,"
    "Convert(Int,SERVERPROPERTY('EngineEdition')) As EngineEdition From sys.databases Where "
    "database_id=DB_ID()";
// Whether the database has replicas (SQL Server 2012 and later; before it
// the column is missing and there are none).
inline constexpr const char* kReplicaSql =
    "Select Count(*) From sys.databases Where database_id=DB_ID() and replica_id Is Not Null";
// The other user sessions in this database, by program (database_id of this
// view: SQL Server 2012 and later).
inline constexpr const char* kSessionsSql =
    "Select program_name,Count(*) From sys.dm_exec_sessions Where database_id=DB_ID() and "
    "session_id<>@@SPID and is_user_process=1 Group By program_name "  // not a message
    "Order By Count(*) Desc";
// The enabled database DDL triggers that the run's statements fire.
inline constexpr const char* kDdlTriggersSql =
    "Select t.name From sys.triggers t Where t.parent_class=0 and t.is_disabled=0 and Exists("
    "Select * From sys.trigger_events e Where e.object_id=t.object_id and e.type_desc In ("
    "'CREATE_TABLE','ALTER_TABLE','DROP_TABLE','RENAME','CREATE_INDEX','CREATE_TRIGGER',"
    "'GRANT_DATABASE','DENY_DATABASE','CREATE_EXTENDED_PROPERTY')) Order By t.name";

// Reads only when a table is flagged for rebuilding; a read the login may
// not make becomes a note that says so.
std::vector<rebuild::Problem> OpeningHoursNotes(sql::SqlAccess& access,
                                                const std::vector<rebuild::TablePlan>& tables);

}  // namespace slotsync::entry
