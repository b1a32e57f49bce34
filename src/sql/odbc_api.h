#pragma once

// The one way into the ODBC headers for the ODBC client's own sources, and
// the helpers they share: text in and out of the wide ODBC calls, and the
// driver's diagnostic records turned into SqlError. Nothing outside src/sql
// includes this; the public headers of the client stay free of ODBC types.

#include "platform/win32_api.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sql/sql_error.h"

namespace slotsync::sql::odbc {

// unixODBC and Windows both use 16-bit SQLWCHAR holding UTF-16; the texts
// the library keeps are GBK and go through text::GbkToUtf16/Utf16ToGbk.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t),
              "the wide ODBC calls must take UTF-16");  // not a message

// GBK text as a NUL-terminated SQLWCHAR buffer for a wide ODBC call.
std::vector<SQLWCHAR> ToSqlText(std::string_view gbk);
// `length` SQLWCHARs of UTF-16 as GBK text.
std::string FromSqlText(const SQLWCHAR* text, std::size_t length);
// A name or message a wide call wrote into a buffer of `capacity` SQLWCHARs,
// of which it reported `reported`, as GBK text. The text ends at its NUL
// whatever the reported length says: unixODBC, standing between the wide
// calls and a driver that has only the narrow ones (SQLite's on Debian),
// reports the length of the driver's narrow text, in bytes.
std::string FromSqlBuffer(const SQLWCHAR* buffer, std::size_t reported, std::size_t capacity);

// An integer attribute value in the form SQLSetConnectAttrW/SQLSetStmtAttrW take.
inline SQLPOINTER IntegerAttribute(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(value));
}

// Every diagnostic record the handle holds, in order. When the driver left
// none, one record saying that `function` failed (followed by `context`, if
// any), so that an error never reaches the caller without a message.
std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle,
                                        std::string_view function, std::string_view context = {});

// True for the results that are not failures: success, success with
// information (warnings such as 01S02 or 01004) and "no data".
constexpr bool Succeeded(SQLRETURN result) {
  return result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO || result == SQL_NO_DATA;
}

// Throws SqlError with the handle's diagnostics unless `result` is one of
// the results Succeeded accepts.
void Check(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle, std::string_view function);

// True for a SQLSTATE that reports an error: every class but 00 (success)
// and 01 (warning). Some drivers hand an error raised inside a procedure or
// a later statement of a batch to the caller as SQL_SUCCESS_WITH_INFO, with
// the error only in the diagnostics (FreeTDS does); the return code alone
// would let it pass.
bool IsErrorState(std::string_view sqlState);

// Like Check, for the calls that run a statement: SQL_SUCCESS_WITH_INFO
// whose diagnostics hold an error is a failure as well. The warnings of a
// call that succeeded are appended to `warnings`.
void CheckStatementCall(SQLRETURN result, SQLHSTMT statement, std::string_view function,
                        std::vector<Diagnostic>& warnings);

}  // namespace slotsync::sql::odbc
