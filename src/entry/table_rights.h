#pragma once

// The rights a run uses on each table it touches, asked before its
// transaction. The database-wide rights (create, alter the schema, update
// S_Modify, execute the trigger procedure) are not enough: a login that has
// only those fails at the copy (error 229), after it has taken its locks.

#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The rights on the tables a detail rebuild creates in dbo: the copy inserts
// into dbo.Tmp_<table>, counts it, and the size texts are updated in the
// table it becomes. They come from the schema (or the database), as the new
// tables carry no rights of their own.
inline constexpr const char* kNewTableRightsSql =
    "Select HAS_PERMS_BY_NAME('dbo','SCHEMA','SELECT') As CanSelect,HAS_PERMS_BY_NAME('dbo',"
    "'SCHEMA','INSERT') As CanInsert,HAS_PERMS_BY_NAME('dbo','SCHEMA','UPDATE') As CanUpdate";

// The rights on one table the run replaces: SELECT to copy and count it,
// ALTER to drop it.
std::string TableRightsSql(const std::string& table);

// Every right that is missing, one problem each, with what to grant; a right
// the server could not be asked about is a note, and the run goes on as it
// would have (the copy fails inside the transaction, which rolls back).
std::vector<rebuild::Problem> MissingTableRights(sql::SqlAccess& access,
                                                 const std::vector<rebuild::TablePlan>& tables);

}  // namespace slotsync::entry
