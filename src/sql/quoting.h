#pragma once

// The one place where a text becomes part of a statement or a script.
//
// Names of indexes, constraints, triggers, principals and columns come from
// the server's catalog, and whoever may alter one table chooses them. The
// run usually has an administrator's login, so a name that could close its
// brackets or a literal its quotes early would run that person's SQL as the
// administrator. Texts are GBK inside: a trail byte may have the value of
// "]", "[" or "\" (0x81 0x5D is one character, not a character and a "]"),
// so every walk here steps by characters, exactly as the conversion to the
// server's UTF-16 does (text::GbkCharacterLength). A lead byte without its
// trail byte, which no text from the server holds, is written as "?": it
// would otherwise pair with the closing bracket or quote.

#include <string>
#include <string_view>

namespace slotsync::sql {

// [name]: a delimited identifier, each "]" of the name written twice.
std::string QuotedName(std::string_view gbk);

// 'text': a literal, each "'" written twice.
std::string Literal(std::string_view gbk);

// N'text': a Unicode literal, each "'" written twice.
std::string UnicodeLiteral(std::string_view gbk);

// A text inside the single-quoted message of a script's RaisError: quotes
// doubled, and "%" dropped because RaisError reads its message as a format.
std::string RaisErrorText(std::string_view gbk);

// Scripts are run by sqlcmd (ODBC or go-sqlcmd) or in Management Studio's
// SQLCMD mode, and those read the text before the server does: "$(name)"
// anywhere is replaced by a variable (SQLCMDPASSWORD among them), a line
// that starts with ":" or "!!" is a command (a shell command for "!!"), a
// line "GO" ends a batch, and go-sqlcmd takes "\'" for an escaped quote
// when it looks for the end of a literal. A statement that could hold
// any of those (a carried trigger's definition, a name or description
// that someone wrote) is written by these functions so that no client sees
// anything but T-SQL.

// True when `statement` can stand in a script as it is: one line, no
// control character, no "$(", no "\" and no "\"", no comment marker, and
// every quote a delimiter of a literal (none inside a bracketed name).
bool IsSqlcmdInert(std::string_view statement);

// A literal for a script, as an expression: the text in N'...' pieces, with
// the characters sqlcmd could read something in written as NChar(n), each
// line of the text on a script line of its own that starts with "+N'", and
// typed NVarchar(max) so that a long text is never cut at 4000 characters.
std::string SqlcmdLiteral(std::string_view gbk);

// The statement as a script holds it: as it is when IsSqlcmdInert, else run
// through a variable ("Declare @Statement NVarchar(max)=...; Exec(@Statement)")
// whose text is a SqlcmdLiteral, so the server runs the very same text.
std::string ForSqlcmd(std::string_view statement);

// A text inside a script's comment or a check's message, for people: control
// characters as "\xNN", and "$(" as "$\x28", so that it can neither end the
// comment's line nor be read as a variable.
std::string SqlcmdInertText(std::string_view gbk);

}  // namespace slotsync::sql
