// The ODBC functions the client calls, taken from the system's odbc32.dll
// at run time instead of from an import table.
//
// The DLL lives in someone else's process. An import of odbc32.dll would be
// resolved by the loader's search order, which starts with the host
// application's folder: an odbc32.dll placed there would run inside the host
// and see every login. LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32
// looks in the system folder and nowhere else, and, unlike
// SetDefaultDllDirectories, changes nothing for the rest of the process.
//
// These definitions stand where the import library's stubs stood: the
// declarations of <sql.h> carry no dllimport, so every call site in src/sql
// stays as it is, and nothing links odbc32 any more.

#include "sql/odbc_api.h"

#include <string>

#include "sql/sql_error.h"
#include "text/messages.h"

namespace {

HMODULE SystemOdbc() {
  // Loaded once and kept for the life of the process, as an import would
  // be: the shared ODBC environment is freed among the static destructors
  // at unload, and FreeLibrary must not be called from there (DllMain).
  static const HMODULE module = [] {
    const HMODULE loaded = LoadLibraryExW(L"odbc32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (loaded == nullptr) {
      throw slotsync::sql::SqlError(slotsync::text::TrFormat(
          "Cannot load odbc32.dll from the system folder (error %d)", GetLastError()));
    }
    return loaded;
  }();
  return module;
}

template <typename Function>
Function Find(const char* name) {
  const FARPROC found = GetProcAddress(SystemOdbc(), name);
  if (found == nullptr) {
    throw slotsync::sql::SqlError(
        slotsync::text::TrFormat("The system's odbc32.dll has no %s", name));
  }
  // Through void(*)(), the one function pointer type GCC lets any other
  // be cast to and from without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

// Each function looks itself up once; a failed look-up (it throws) is tried
// again on the next call.
#define SLOTSYNC_ODBC_FORWARD(name, parameters, arguments)       \
  extern "C" SQLRETURN SQL_API name parameters {                 \
    static const auto function = Find<decltype(&::name)>(#name); \
    return function arguments;                                   \
  }

SLOTSYNC_ODBC_FORWARD(SQLAllocHandle, (SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output),
                      (type, input, output))
SLOTSYNC_ODBC_FORWARD(SQLCancel, (SQLHSTMT statement), (statement))
SLOTSYNC_ODBC_FORWARD(SQLDescribeColW,
                      (SQLHSTMT statement, SQLUSMALLINT column, SQLWCHAR* name, SQLSMALLINT nameMax,
                       SQLSMALLINT* nameLength, SQLSMALLINT* type, SQLULEN* size,
                       SQLSMALLINT* digits, SQLSMALLINT* nullable),
                      (statement, column, name, nameMax, nameLength, type, size, digits, nullable))
SLOTSYNC_ODBC_FORWARD(SQLDisconnect, (SQLHDBC connection), (connection))
SLOTSYNC_ODBC_FORWARD(SQLDriverConnectW,
                      (SQLHDBC connection, SQLHWND window, SQLWCHAR* in, SQLSMALLINT inLength,
                       SQLWCHAR* out, SQLSMALLINT outMax, SQLSMALLINT* outLength,
                       SQLUSMALLINT completion),
                      (connection, window, in, inLength, out, outMax, outLength, completion))
SLOTSYNC_ODBC_FORWARD(SQLDriversW,
                      (SQLHENV environment, SQLUSMALLINT direction, SQLWCHAR* name,
                       SQLSMALLINT nameMax, SQLSMALLINT* nameLength, SQLWCHAR* attributes,
                       SQLSMALLINT attributesMax, SQLSMALLINT* attributesLength),
                      (environment, direction, name, nameMax, nameLength, attributes, attributesMax,
                       attributesLength))
SLOTSYNC_ODBC_FORWARD(SQLEndTran, (SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion),
                      (type, handle, completion))
SLOTSYNC_ODBC_FORWARD(SQLExecDirectW, (SQLHSTMT statement, SQLWCHAR* text, SQLINTEGER length),
                      (statement, text, length))
SLOTSYNC_ODBC_FORWARD(SQLFetch, (SQLHSTMT statement), (statement))
SLOTSYNC_ODBC_FORWARD(SQLFreeHandle, (SQLSMALLINT type, SQLHANDLE handle), (type, handle))
SLOTSYNC_ODBC_FORWARD(SQLFreeStmt, (SQLHSTMT statement, SQLUSMALLINT option), (statement, option))
SLOTSYNC_ODBC_FORWARD(SQLGetData,
                      (SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target,
                       SQLLEN targetMax, SQLLEN* indicator),
                      (statement, column, type, target, targetMax, indicator))
SLOTSYNC_ODBC_FORWARD(SQLGetDiagRecW,
                      (SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLWCHAR* state,
                       SQLINTEGER* nativeError, SQLWCHAR* message, SQLSMALLINT messageMax,
                       SQLSMALLINT* messageLength),
                      (type, handle, record, state, nativeError, message, messageMax,
                       messageLength))
SLOTSYNC_ODBC_FORWARD(SQLMoreResults, (SQLHSTMT statement), (statement))
SLOTSYNC_ODBC_FORWARD(SQLNumResultCols, (SQLHSTMT statement, SQLSMALLINT* columns),
                      (statement, columns))
SLOTSYNC_ODBC_FORWARD(SQLSetConnectAttrW,
                      (SQLHDBC connection, SQLINTEGER attribute, SQLPOINTER value,
                       SQLINTEGER length),
                      (connection, attribute, value, length))
SLOTSYNC_ODBC_FORWARD(SQLSetEnvAttr,
                      (SQLHENV environment, SQLINTEGER attribute, SQLPOINTER value,
                       SQLINTEGER length),
                      (environment, attribute, value, length))
SLOTSYNC_ODBC_FORWARD(SQLSetStmtAttrW,
                      (SQLHSTMT statement, SQLINTEGER attribute, SQLPOINTER value,
                       SQLINTEGER length),
                      (statement, attribute, value, length))
