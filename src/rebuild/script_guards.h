#pragma once

// The checks a plan writes into its script. A script is reviewed and run
// later, often days later and in a client we do not control (sqlcmd,
// Management Studio, Azure Data Studio), against a database that may have
// moved on: a host's own run may have done the work, a terminal may have
// changed a table. Each check is one T-SQL statement that, when its
// condition holds, rolls back whatever the script did, says why, and turns
// execution off for the rest of the session (SET NOEXEC ON), so that no
// later batch runs whatever the client does with the error.
//
// The texts are built here only, so that the script, the plan's printout and
// the tests see the same statement.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rebuild/rebuild_steps.h"
#include "sql/quoting.h"

namespace slotsync::rebuild {

using sql::UnicodeLiteral;

// The sqlcmd variable the script defines with the time its plan was written;
// sqlcmd puts it into the messages of the checks.
inline constexpr std::string_view kPlanWrittenVariable = "PlanWritten";

// "If <condition> Begin <roll back if a transaction is open>; RaisError(...);
// Set NoExec On; End". A severity of 10 or less is a message, not an error:
// for a script that finds its work already done.
std::string StopIf(std::string_view condition, std::string_view message,
                   std::int32_t severity = 16);

// "the database changed since the plan (written ...): plan again; <what>;
// nothing was changed"
std::string ChangedSincePlan(std::string_view what);

// The table's S_Modify row no longer flags it: a host's run or an earlier run
// of the same script did the work. Said as a message, not as an error.
std::string AlreadyAppliedGuard(std::int32_t tableTag, const std::string& tableName);

// The table's S_Modify row is still flagged with the texts the plan read
// (only the columns the rebuild of that kind reads); it is locked until the
// script's transaction ends.
std::string SModifyRowGuard(std::int32_t tableTag, const SModifyRow& row, SModifyColumns columns);

// N from the size groups is still the N the plan built its tables for.
std::string SlotCountGuard(std::int32_t tableTag, std::int32_t slotCount);

// The table still has exactly the columns the plan saw: the copy names them,
// so a column added since would be lost with the drop, a column dropped
// since would fail the copy.
std::string ColumnsGuard(std::int32_t tableTag, const std::string& table,
                         const std::vector<std::string>& columns);

// The per-terminal table is still either missing or a table with
// TerminalName, as the plan saw it: anything else is a business table the
// script would drop and recreate empty.
std::string TerminalTableGuard(std::int32_t tableTag, const std::string& table);

// No row holds a quantity in the slot columns that go (`condition`, such as
// "x_4<>0 Or x_5<>0"). The count runs as a statement of its own
// (sp_executesql): a script run again after those columns went would
// otherwise fail to compile this check even after an earlier check stopped
// it, and report an error where there is none.
std::string QuantitiesGuard(const std::string& table, const std::string& condition,
                            const std::string& refusal);

// The work copy holds as many rows as the table it copies.
std::string CopyCountGuard(const std::string& copy, const std::string& table);

// The script runs as the database user the plan was made by: a permission
// it gives names that user as its grantor, a trigger that runs as SELF runs
// as that user, as they did on the old table.
// The user is named by its principal_id: a name from the catalog could hold
// what sqlcmd reads, and a user dropped and made again is another user.
std::string RunUserGuard(std::int32_t principalId);

// Between the batches of a script: the transaction is still open and can
// commit. Under XACT_ABORT a failed statement has rolled everything back; a
// client that goes on after errors would otherwise run the rest outside any
// transaction.
std::string TransactionAliveGuard();

}  // namespace slotsync::rebuild
