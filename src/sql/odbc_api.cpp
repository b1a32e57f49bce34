#include "sql/odbc_api.h"

#include <algorithm>
#include <iterator>

#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::sql::odbc {

std::vector<SQLWCHAR> ToSqlText(std::string_view gbk) {
  // Widened on the guess that the text is ASCII, checked in the same pass:
  // every statement of a run comes through here.
  std::vector<SQLWCHAR> out(gbk.size() + 1);
  if (text::WidenAscii(gbk, out.data())) return out;
  const std::u16string utf16 = text::GbkToUtf16(gbk);
  out.assign(utf16.begin(), utf16.end());
  out.push_back(0);
  return out;
}

std::string FromSqlText(const SQLWCHAR* text, std::size_t length) {
  // Narrowed on the guess that the text is ASCII and checked in the same
  // pass, as ToSqlText does: every value read comes through here.
  std::string ascii(length, '\0');
  char* const to = ascii.data();
  SQLWCHAR seen = 0;
  for (std::size_t i = 0; i < length; ++i) {
    seen |= text[i];
    to[i] = static_cast<char>(text[i]);
  }
  if (seen < 0x80) return ascii;
  std::u16string utf16;
  utf16.reserve(length);
  for (std::size_t i = 0; i < length; ++i) utf16.push_back(static_cast<char16_t>(text[i]));
  return text::Utf16ToGbk(utf16);
}

std::string FromSqlBuffer(const SQLWCHAR* buffer, std::size_t reported, std::size_t capacity) {
  std::size_t length = 0;
  const std::size_t limit = std::min(reported, capacity == 0 ? 0 : capacity - 1);
  while (length < limit && buffer[length] != 0) ++length;
  return FromSqlText(buffer, length);
}

std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle,
                                        std::string_view function, std::string_view context) {
  std::vector<Diagnostic> diagnostics;
  std::vector<SQLWCHAR> message(512);
  // Record numbers are SQLSMALLINT; no driver reports anywhere near that many.
  for (SQLSMALLINT record = 1; record < 1000;) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN result =
        SQLGetDiagRecW(handleType, handle, record, state, &native, message.data(),
                       static_cast<SQLSMALLINT>(message.size()), &length);
    if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO) break;
    if (length >= static_cast<SQLSMALLINT>(message.size()) && message.size() < 32000) {
      // The message did not fit: ask for the same record again, whole.
      message.resize(static_cast<std::size_t>(length) + 1);
      continue;
    }
    Diagnostic diagnostic;
    diagnostic.sqlState = FromSqlBuffer(state, 5, std::size(state));
    if (diagnostic.sqlState.size() != 5) diagnostic.sqlState.clear();
    diagnostic.nativeError = static_cast<long>(native);
    diagnostic.message =
        FromSqlBuffer(message.data(), static_cast<std::size_t>(length), message.size());
    // What a database administrator looks the failure up by, on its line.
    if (!diagnostic.sqlState.empty()) {
      // TRANSLATORS: the first %s is the driver's or the server's message.
      diagnostic.message = text::TrFormat("%s (SQLSTATE %s, native error %d)", diagnostic.message,
                                          diagnostic.sqlState, diagnostic.nativeError);
    }
    diagnostics.push_back(std::move(diagnostic));
    ++record;
  }
  if (diagnostics.empty()) {
    std::string message = text::TrFormat("ODBC call %s failed without a message", function);
    if (!context.empty()) {
      message = text::TrFormat(
          // TRANSLATORS: the first %s is the ODBC function, the second what it was given (the
          // connection string with its password masked).
          "ODBC call %s failed without a message (%s)", function, context);
    }
    diagnostics.push_back(Diagnostic{{}, 0, std::move(message)});
  }
  return diagnostics;
}

void Check(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle, std::string_view function) {
  if (Succeeded(result)) return;
  throw SqlError(ReadDiagnostics(handleType, handle, function));
}

bool IsErrorState(std::string_view sqlState) {
  return !sqlState.empty() && !sqlState.starts_with("00") && !sqlState.starts_with("01");
}

void CheckStatementCall(SQLRETURN result, SQLHSTMT statement, std::string_view function,
                        std::vector<Diagnostic>& warnings) {
  if (result != SQL_SUCCESS_WITH_INFO) {
    Check(result, SQL_HANDLE_STMT, statement, function);
    return;
  }
  std::vector<Diagnostic> diagnostics = ReadDiagnostics(SQL_HANDLE_STMT, statement, function);
  const bool failed = std::any_of(diagnostics.begin(), diagnostics.end(),
                                  [](const Diagnostic& d) { return IsErrorState(d.sqlState); });
  if (failed) throw SqlError(std::move(diagnostics));
  // A driver that says "with information" and leaves no record has nothing
  // to pass on; ReadDiagnostics made one up to name the call.
  for (Diagnostic& d : diagnostics) {
    if (!d.sqlState.empty()) warnings.push_back(std::move(d));
  }
}

}  // namespace slotsync::sql::odbc
