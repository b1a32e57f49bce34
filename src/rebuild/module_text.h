#pragma once

// What the carry reads inside the catalog's SQL texts: the columns a check
// constraint or a filter names, whether a definition calls code that is not
// built in, and the EXECUTE AS clause of a trigger's header. Each is read by
// characters (a GBK trail byte may have the value of "]", "." or "'"), and
// outside string literals, comments and delimited names.

#include <string>
#include <string_view>
#include <vector>

namespace slotsync::rebuild {

// The columns a catalog definition names ("([Qty]>=(0))"): its bracketed
// names outside string literals, but for the parts of dotted names.
std::vector<std::string> NamesIn(std::string_view definition);

// True when a definition calls something by a dotted or "::" name
// ("[dbo].[fnOk]([Qty])", "[Geo].[STIsValid]()", "[dbo].[T]::Parse(...)"):
// a function, a type's method or anything else that is code someone wrote,
// since T-SQL calls a scalar user function by two parts at least and no
// built-in function by a dotted name outside the sys schema.
bool CallsBeyondBuiltIns(std::string_view definition);

// The EXECUTE AS clause of a CREATE TRIGGER's header, before its FOR,
// AFTER or INSTEAD OF.
struct ExecuteAsClause {
  enum class Kind { kNone, kCaller, kSelf, kOwner, kNamed, kUnreadable };
  Kind kind = Kind::kNone;
  std::string principal;  // kNamed: the user's name, its quotes undone
};
ExecuteAsClause ExecuteAsOf(std::string_view definition);

}  // namespace slotsync::rebuild
