#include "entry/preconditions.h"

#include "text/messages.h"

namespace slotsync::entry {
namespace {

std::string Joined(const std::vector<std::string>& problems) {
  std::string list = text::Tr("the run cannot start; nothing was changed:");
  for (const std::string& problem : problems) list += "\n  - " + problem;
  return list;
}

// A right HAS_PERMS_BY_NAME denied outright; NULL (object missing) and 1 pass.
bool Denied(const sql::SqlQuery& query, std::string_view column) {
  const auto field = query.FindField(column);
  return field && !field->IsNull() && field->AsString() == "0";
}

std::string Text(const sql::SqlQuery& query, std::string_view column) {
  const auto field = query.FindField(column);
  return field ? field->AsString() : std::string();
}

// Both names found in upper case, while the system view is "syscolumns"
// with its column "colorder": the catalog compares names without case.
bool CatalogIgnoresCase(sql::SqlAccess& access) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(std::string(kNameResolutionSql));
  query.Open();
  return !query.Empty() && query.FieldCount() >= 2 && !query.Field(0).IsNull() &&
         !query.Field(1).IsNull();
}

}  // namespace

std::string CaseSensitiveCollationProblem(const std::string& collation) {
  return text::TrFormat(
      "the database's collation %s tells names apart by case, but the run names catalog objects "
      "(sysColumns, ColOrder, ID, [Primary]) and the dictionary's tables in mixed case and would "
      "fail half way; give the database a case-insensitive collation (one with _CI_, such as "
      "Chinese_PRC_CI_AS)",
      collation);
}

PreconditionFailed::PreconditionFailed(const std::vector<std::string>& problems)
    : std::runtime_error(Joined(problems)), problems_(problems) {}

bool IsCaseInsensitiveCollation(std::string_view collation) {
  std::size_t start = 0;
  while (start <= collation.size()) {
    const std::size_t end = std::min(collation.find('_', start), collation.size());
    const std::string_view part = collation.substr(start, end - start);
    if (part.size() == 2 && (part[0] == 'C' || part[0] == 'c') &&
        (part[1] == 'I' || part[1] == 'i'))
      return true;
    start = end + 1;
  }
  return false;
}

bool IsSupportedServerVersion(std::string_view version) {
  int major = 0, minor = 0;
  std::size_t at = 0;
  const auto number = [&](int& value) {
    const std::size_t start = at;
    while (at < version.size() && version[at] >= '0' && version[at] <= '9' && at - start < 6) {
      value = value * 10 + (version[at++] - '0');
    }
    return at > start;
  };
  if (!number(major)) return true;
  if (at < version.size() && version[at] == '.') {
    ++at;
    number(minor);
  }
  return major > 10 || (major == 10 && minor >= 50);
}

void CheckPreconditions(sql::SqlAccess& access, std::int32_t slotCount, bool detailTablesFlagged,
                        bool encryptionRequired, std::string* server) {
  std::vector<std::string> problems;
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(std::string(kPreconditionSql));
  query.Open();
  // A server answers with one row; without one there is nothing to judge.
  if (!query.Empty()) {
    // Azure SQL Database (engine edition 5) gives its own version numbers,
    // always of a current engine.
    const std::string version = Text(query, "ProductVersion");
    const bool azure = Text(query, "EngineEdition") == "5";
    if (server != nullptr && !version.empty()) {
      *server = (azure ? "Azure SQL Database " : "SQL Server ") + version;  // not a message
    }
    if (!version.empty() && !azure && !IsSupportedServerVersion(version)) {
      problems.push_back(text::TrFormat(
          "the server is SQL Server %s, older than SQL Server 2008 R2 (10.50), the oldest the "
          "run's reads and statements are made for; run it on a newer server",
          version));
    }
    const std::string collation = Text(query, "DatabaseCollation");
    if (!collation.empty() && !IsCaseInsensitiveCollation(collation) &&
        !CatalogIgnoresCase(access)) {
      problems.push_back(CaseSensitiveCollationProblem(collation));
    }
    const std::string schema = Text(query, "DefaultSchema");
    if (!schema.empty() && !sql::NamesEqual(schema, "dbo")) {
      problems.push_back(text::TrFormat(
          "the login's default schema is %s, but the run builds its tables in dbo and names the "
          "others without a schema, which would put them in %s; make dbo its default schema "
          "(ALTER USER ... WITH DEFAULT_SCHEMA = dbo)",
          schema, schema));
    }
    if (Denied(query, "CanCreateTable") || Denied(query, "CanAlterSchema")) {
      problems.push_back(text::Tr(
          "the login may not create, alter, drop and rename tables in dbo; grant it CREATE TABLE "
          "in the database and ALTER on schema dbo (or make it a member of db_ddladmin)"));
    }
    if (Denied(query, "CanUpdateSModify")) {
      problems.push_back(text::Tr(
          "the login may not update S_Modify, where the run clears the Modified flag of each "
          "table it rebuilds; grant it UPDATE on dbo.S_Modify"));
    }
    if (encryptionRequired && sql::NamesEqual(Text(query, "EncryptOption"), "FALSE")) {
      problems.push_back(text::Tr(
          "the server reports this connection unencrypted although encryption was asked for, so "
          "the login and what the run reads cross the network in clear; make the server or the "
          "driver encrypt (a certificate on the server, the driver's encryption setting), or run "
          "with --encrypt optional (SlotsyncOptions.encrypt = SLOTSYNC_ENCRYPT_OPTIONAL) to "
          "accept that"));
    }
    if (detailTablesFlagged && Denied(query, "CanExecuteTrigger")) {
      problems.push_back(text::Tr(
          "the login may not execute dbo.CreateInvoiceDetailTrigger, which the run calls after "
          "each detail table it rebuilds; grant it EXECUTE on that procedure"));
    }
  }
  // Below this a table of N size columns still has room for its key and the
  // few columns every rebuilt table carries; above it no size-dependent
  // table can be created at all, and the statements would only grow huge.
  if (slotCount > rebuild::kMaxColumnsPerTable - 4) {
    problems.push_back(text::TrFormat(
        "the size groups need %d size slots, but a table holds at most %d columns; check "
        "SizeGroupSize for a size group with far too many sizes",
        slotCount, rebuild::kMaxColumnsPerTable));
  }
  if (!problems.empty()) throw PreconditionFailed(problems);
}

}  // namespace slotsync::entry
