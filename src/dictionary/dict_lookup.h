#pragma once

// The two lookups on DataDictionary that the rebuilders make: the table name
// and the identity key column recorded for a TableTag.

#include <cstdint>
#include <string>

#include "sql/sql_access.h"

namespace slotsync::dictionary {

// The TableName of the TableTag's DataDictionary row; empty text when there
// is no row or the value is NULL. Each call runs its query anew on the run's
// connection, inside whatever transaction it holds; a failing query raises
// the client's error. The text comes back as the database holds it: whoever
// puts it into a statement checks it first (dictionary_guard.h).
std::string GetDictTableName(sql::SqlAccess& access, std::int32_t tableTag);

// The FieldName of the TableTag's DataDictionary row, the same way.
std::string GetDictFieldName(sql::SqlAccess& access, std::int32_t tableTag);

}  // namespace slotsync::dictionary
