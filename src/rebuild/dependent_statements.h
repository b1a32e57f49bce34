#pragma once

// The statements that make a carried dependent again on the new table. The
// texts are built here only, so that a run, a plan, its script and the tests
// see the same statement; every name goes through sql::QuotedName and every
// text through a Unicode literal.

#include <string>
#include <vector>

#include "rebuild/table_dependents.h"

namespace slotsync::rebuild {

// "[dbo].[T]"
std::string QualifiedTable(const std::string& table);
// "a, b, c"
std::string Joined(const std::vector<std::string>& items);

std::string IndexStatement(const std::string& table, const IndexInfo& index);
// Always With NoCheck: a key made after the commit must not scan the rows
// while it holds the table it references; KeyMoveOf checks them after.
std::string ForeignKeyStatement(const std::string& table, const ForeignKeyInfo& key);
// How the key leaves the old table and comes back (findings.h).
KeyMove KeyMoveOf(const std::string& table, const ForeignKeyInfo& key, bool carried);
// "Grant SELECT On [dbo].[T] To [Clerk]"; `asGrantor` adds "As [grantor]",
// so that the permission is given in its grantor's name again.
std::string PermissionStatement(const std::string& table, const PermissionInfo& permission,
                                bool asGrantor);
// "GRANT SELECT on T.Price to Clerk", for people.
std::string PermissionText(const std::string& table, const PermissionInfo& permission);
std::string PropertyStatement(const std::string& table, const PropertyInfo& property);
// "Exec sys.sp_refreshview N'[dbo].[vStock]'" (sp_refreshsqlmodule for a function).
std::string RefreshStatement(const ReaderInfo& reader);
// "dbo.vStock", for people.
std::string ReaderName(const ReaderInfo& reader);
// What the table itself was set to beyond the server's defaults (its lock
// escalation, the data compression of its heap or clustered index), which a
// table made from the template does not have; none when it has the defaults.
std::vector<std::string> TableOptionStatements(const TableDependents& dependents);

}  // namespace slotsync::rebuild
