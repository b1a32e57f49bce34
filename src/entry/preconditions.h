#pragma once

// What the database and the login must offer before a run may start its
// transaction. A run that lacks one of them would otherwise fail half way,
// after it has locked and rebuilt the tables before the one that fails, and
// leave an administrator with a rolled-back run and a server message that
// does not say what to change.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// One read of the server's version and edition, the database's collation, the login's default
// schema and its rights, and whether the session's connection is encrypted. HAS_PERMS_BY_NAME gives
// 1 or 0, or NULL when the object is not there (no trigger procedure, say): that is no refusal.
// CONNECTIONPROPERTY gives TRUE or FALSE, or NULL where the server does not know the property: no
// judgement then.
inline constexpr std::string_view kPreconditionSql =
    "Select Convert(NVarchar(128),DATABASEPROPERTYEX(DB_NAME(),'Collation')) As "
    "DatabaseCollation,SCHEMA_NAME() As DefaultSchema,HAS_PERMS_BY_NAME(DB_NAME(),'DATABASE',"
    "'CREATE TABLE') As CanCreateTable,HAS_PERMS_BY_NAME('dbo','SCHEMA','ALTER') As "
    "CanAlterSchema,HAS_PERMS_BY_NAME('dbo.S_Modify','OBJECT','UPDATE') As "
    "CanUpdateSModify,HAS_PERMS_BY_NAME('dbo.CreateInvoiceDetailTrigger','OBJECT','EXECUTE') As "
    "CanExecuteTrigger,Convert(NVarchar(40),CONNECTIONPROPERTY('encrypt_option')) As "
    "EncryptOption,Convert(NVarchar(128),SERVERPROPERTY('ProductVersion')) As ProductVersion,"
    "Convert(Int,SERVERPROPERTY('EngineEdition')) As EngineEdition";

// Whether the catalog finds the run's mixed-case names whatever their case:
// asked only of a database whose collation tells case apart. A catalog of
// its own collation (Azure SQL's CATALOG_COLLATION) may still resolve them,
// and then the run works.
inline constexpr std::string_view kNameResolutionSql =
    "Select Object_ID('SYSCOLUMNS'),Col_Length('SYSCOLUMNS','COLORDER')";

// The database's collation alone, read when a catalog statement fails.
inline constexpr std::string_view kCollationSql =
    "Select Convert(NVarchar(128),DATABASEPROPERTYEX(DB_NAME(),'Collation'))";

// What to say about a collation that tells names apart by case.
std::string CaseSensitiveCollationProblem(const std::string& collation);

// The run could not start: every reason, each saying what to change.
class PreconditionFailed : public std::runtime_error {
 public:
  explicit PreconditionFailed(const std::vector<std::string>& problems);
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

// Whether a collation compares without regard to case: its name has the
// "CI" part (Chinese_PRC_CI_AS); case-sensitive (_CS_) and binary (_BIN,
// _BIN2) ones have none.
bool IsCaseInsensitiveCollation(std::string_view collation);

// Reads what the run needs of the database and the login and throws
// PreconditionFailed listing everything that is missing. `slotCount` is N;
// `detailTablesFlagged` says whether a detail table, which may call the
// trigger procedure, is among the flagged tables; `encryptionRequired`, that
// a connection the server reports unencrypted must not go on. `server`,
// when given, gets the server's product and version ("SQL Server
// 13.0.5026.0"), empty when the server did not say, even when the check
// fails.
void CheckPreconditions(sql::SqlAccess& access, std::int32_t slotCount, bool detailTablesFlagged,
                        bool encryptionRequired = false, std::string* server = nullptr);

// Whether a version SERVERPROPERTY('ProductVersion') gives ("10.50.6000.34")
// is SQL Server 2008 R2 or later; a text that is no version passes.
bool IsSupportedServerVersion(std::string_view version);

}  // namespace slotsync::entry
