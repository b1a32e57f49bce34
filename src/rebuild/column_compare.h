#pragma once

// What a copied column is in the old table and what it becomes in the new
// one. The copy is "Insert into dbo.Tmp_T(cols) Select cols from T": the
// server converts each value to its new column's type on the way, and some
// conversions change values without a word (a decimal into an int drops its
// fractions, a Unicode text into a code page turns characters it lacks into
// "?"). Those are refused before any lock; properties of the old column the
// new definition does not give (identity, a computed column's formula, Not
// Null, masking...) are named as lost; pairs the rebuild cannot judge are
// noted and left to the server.

#include <cstdint>
#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "rebuild/rebuild_steps.h"
#include "sql/sql_access.h"

namespace slotsync::rebuild {

// One column of the old table as the catalog describes it.
struct CatalogColumn {
  std::string name;
  std::string type;            // the system type, e.g. "decimal", "nvarchar"
  std::string declaredType;    // as declared: an alias type keeps its own name
  std::int32_t maxLength = 0;  // bytes; -1 for max
  std::int32_t precision = 0;
  std::int32_t scale = 0;
  bool nullable = true;
  std::string collation;      // empty for a column without one
  std::int32_t codePage = 0;  // of its collation; 0 for Unicode-only ones
  bool identity = false;
  std::string seed, increment, lastValue;  // of an identity column
  bool computed = false;
  std::string formula;  // of a computed column
  bool sparse = false;
  bool rowGuid = false;
  bool masked = false;
};

// The database's default collation, which a new column without a Collate
// clause takes, and its code page.
struct DefaultCollation {
  std::string name;
  std::int32_t codePage = 0;
};

// What the comparison of one copied column found.
struct ColumnVerdict {
  std::vector<std::string> refusals;  // the copy would change or lose values
  std::vector<std::string> notes;     // pairs the rebuild cannot judge
  std::vector<std::string> lost;      // properties the new column does not keep
  bool measureNulls = false;          // the old column may hold NULLs, the new one takes none
  bool measureText = false;           // characters may not survive the new column's code page
};

// The old column written as a definition: "decimal(12,2) Not Null",
// "int Identity(1,1) Not Null", "nvarchar(20) Collate Latin1_General_CI_AS Null".
std::string DefinitionText(const CatalogColumn& column);

ColumnVerdict CompareColumn(const std::string& table, const CatalogColumn& old,
                            const ColumnDefinition& now, bool keyColumn,
                            const DefaultCollation& collation);

// The one catalog read of a table's column properties, one row per column.
std::string ColumnPropertiesQuery(const std::string& table);

// Reads the old table's columns and compares each copied one with its new
// definition. Refusals are flagged (thrown when the run executes); when
// planning, notes are flagged too, the NULLs and the characters a copy
// would refuse or change are counted in one scan, and what is lost is added
// to the table's plan. Returns what is lost, each named with its reason.
std::vector<std::string> CheckColumnProperties(sql::SqlAccess& access, Findings* findings,
                                               std::int32_t tableTag, const std::string& table,
                                               const std::string& keyColumn,
                                               const std::vector<std::string>& copied,
                                               const std::vector<ColumnDefinition>& columns);

// Planning: a copied value longer than its new column makes the copy fail
// ("String or binary data would be truncated"). Only columns the catalog
// says could hold a longer value are measured, in one scan.
void CheckValuesFit(sql::SqlAccess& access, Findings* findings, std::int32_t tableTag,
                    const std::string& table, const std::vector<ColumnDefinition>& columns);

}  // namespace slotsync::rebuild
