#include "rebuild/table_dependents.h"

#include <algorithm>
#include <map>

#include "rebuild/script_guards.h"
#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "sql/write_plan.h"
#include "text/case_fold.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

// One row per dependent, all kinds in one result so that a table costs one
// read. Kind, Name, Item, Number, Flags, Ordinal and Body mean what each
// part below says; Gbk is 0 when the row's texts do not survive code page
// 936, which the run speaks. The table properties that only exist on newer
// servers are read through ObjectProperty, which answers NULL where a server
// does not know them, so one text serves every version.
constexpr std::string_view kDependentsSql =
    "Select Kind,Name,Item,Number,Flags,Ordinal,Body,Case When Convert(VarBinary(max),"
    "Convert(NVarchar(max),Convert(VarChar(max),IsNull(Name,N'')+IsNull(Item,N'')+IsNull(Body,"
    "N'') Collate Chinese_PRC_CI_AS)))=Convert(VarBinary(max),IsNull(Name,N'')+IsNull(Item,N'')+"
    "IsNull(Body,N'')) Then 1 Else 0 End As Gbk From ("
    // secondary indexes and unique constraints
    "Select 'I' As Kind,Convert(NVarchar(260),i.name) As Name,Convert(NVarchar(260),(Select "
    "Max(p.data_compression_desc) From sys.partitions p Where p.object_id=i.object_id And "
    "p.index_id=i.index_id)) As Item,i.index_id As Number,Convert(Int,i.is_unique)+2*Convert(Int,"
    "i.is_unique_constraint)+4*Case When i.type=1 Then 1 Else 0 End+8*Convert(Int,"
    "i.ignore_dup_key)+16*Convert(Int,i.is_disabled)+32*Convert(Int,i.is_padded) As Flags,"
    "Convert(Int,i.fill_factor) As Ordinal,Convert(NVarchar(max),i.filter_definition) As Body "
    "From sys.indexes i Where i.object_id=$T And i.is_primary_key=0 And i.type In (1,2) And "
    "i.is_hypothetical=0 "
    // their columns, keys in key order, then the included ones
    "Union All Select 'IC',c.name,Null,ic.index_id,Convert(Int,ic.is_descending_key)+2*Convert("
    // not a message
    "Int,ic.is_included_column),Case When ic.is_included_column=1 Then 1000+ic.index_column_id "
    "Else ic.key_ordinal End,Null From sys.index_columns ic Join sys.columns c On "
    "c.object_id=ic.object_id And c.column_id=ic.column_id Join sys.indexes i On "
    "i.object_id=ic.object_id And i.index_id=ic.index_id Where ic.object_id=$T And "
    "i.is_primary_key=0 And i.type In (1,2) And i.is_hypothetical=0 "
    // indexes of kinds the rebuild cannot re-create (XML, spatial, columnstore...)
    "Union All Select 'U',i.name,i.type_desc,i.index_id,0,0,Null From sys.indexes i Where "
    "i.object_id=$T And i.type Not In (0,1,2) "
    "Union All Select 'K',cc.name,Null,0,Convert(Int,cc.is_disabled)+2*Convert(Int,"
    "cc.is_not_trusted),0,cc.definition From sys.check_constraints cc Where "
    "cc.parent_object_id=$T "
    "Union All Select 'D',dc.name,c.name,0,0,0,dc.definition From sys.default_constraints dc Join "
    "sys.columns c On c.object_id=dc.parent_object_id And c.column_id=dc.parent_column_id Where "
    "dc.parent_object_id=$T "
    // foreign keys of this table, and their column pairs
    "Union All Select 'F',fk.name,QuoteName(Schema_Name(r.schema_id))+'.'+QuoteName(r.name),0,"
    "Convert(Int,fk.is_disabled)+2*Convert(Int,fk.is_not_trusted)+4*(1-IsNull(HAS_PERMS_BY_NAME("
    "QuoteName(Schema_Name(r.schema_id))+'.'+QuoteName(r.name),'OBJECT','REFERENCES'),1)),"
    "10*fk.delete_referential_action"
    "+fk.update_referential_action,Null From sys.foreign_keys fk Join sys.objects r On "
    "r.object_id=fk.referenced_object_id Where fk.parent_object_id=$T "
    "Union All Select 'FC',fk.name,pc.name,0,0,fkc.constraint_column_id,rc.name From "
    "sys.foreign_key_columns fkc Join sys.foreign_keys fk On fk.object_id=fkc.constraint_object_id "
    "Join sys.columns pc On pc.object_id=fkc.parent_object_id And "
    "pc.column_id=fkc.parent_column_id "
    "Join sys.columns rc On rc.object_id=fkc.referenced_object_id And "
    "rc.column_id=fkc.referenced_column_id Where fkc.parent_object_id=$T "
    // foreign keys of other tables that point here: the drop would fail
    "Union All Select 'R',fk.name,Object_Schema_Name(fk.parent_object_id)+'.'+Object_Name("
    "fk.parent_object_id),0,0,0,Null From sys.foreign_keys fk Where fk.referenced_object_id=$T And "
    "fk.parent_object_id<>$T "
    "Union All Select 'T',t.name,Null,0,Convert(Int,t.is_disabled)+2*Case When m.definition Is "
    "Null Then 1 Else 0 End+4*Case When m.uses_ansi_nulls=0 Or m.uses_quoted_identifier=0 Then 1 "
    "Else 0 End,0,m.definition From sys.triggers t Left Join sys.sql_modules m On "
    "m.object_id=t.object_id Where t.parent_id=$T "
    "Union All Select 'P',dp.permission_name,pr.name,0,Ascii(dp.state),dp.minor_id,c.name From "
    "sys.database_permissions dp Join sys.database_principals pr On "
    "pr.principal_id=dp.grantee_principal_id Left Join sys.columns c On c.object_id=dp.major_id "
    "And c.column_id=dp.minor_id Where dp.class=1 And dp.major_id=$T And dp.state In ('G','W','D') "
    "Union All Select 'E',ep.name,c.name,0,Case When Convert(NVarchar(128),SQL_Variant_Property("
    "ep.value,'BaseType')) In (N'nvarchar',N'varchar',N'nchar',N'char') Then 0 Else 1 End,"
    "ep.minor_id,Convert(NVarchar(max),ep.value) From sys.extended_properties ep Left Join "
    "sys.columns c On c.object_id=ep.major_id And c.column_id=ep.minor_id Where ep.class=1 And "
    "ep.major_id=$T "
    // views and functions bound to the table's schema: the drop would fail
    "Union All Select Distinct 'B',Object_Schema_Name(d.referencing_id)+'.'+Object_Name("
    "d.referencing_id),o.type_desc,0,0,0,Null From sys.sql_expression_dependencies d Join "
    "sys.objects o On o.object_id=d.referencing_id Where d.referenced_id=$T And "
    "d.is_schema_bound_reference=1 And d.referencing_id<>$T And IsNull(o.parent_object_id,0)<>$T "
    // the table itself: where it is stored, what it takes part in, whether
    // the login may re-grant its permissions
    "Union All Select 'X',(Select Top 1 fg.name From sys.indexes i Join sys.filegroups fg On "
    "fg.data_space_id=i.data_space_id Where i.object_id=t.object_id And i.index_id In (0,1)),"
    "(Select Top 1 ps.name From sys.indexes i Join sys.partition_schemes ps On "
    "ps.data_space_id=i.data_space_id Where i.object_id=t.object_id),0,Case When "
    "t.is_replicated=1 Or t.is_merge_published=1 Or t.is_schema_published=1 Then 1 Else 0 End+"
    "2*Convert(Int,t.is_tracked_by_cdc)+4*Case When Exists(Select * From "
    "sys.change_tracking_tables "
    "ct Where ct.object_id=t.object_id) Then 1 Else 0 End+8*Case When IsNull(ObjectProperty("
    "t.object_id,'TableTemporalType'),0)<>0 Then 1 Else 0 End+16*IsNull(ObjectProperty("
    "t.object_id,'TableIsMemoryOptimized'),0)+32*Case When Exists(Select * From "
    "sys.fulltext_indexes f Where f.object_id=t.object_id) Then 1 Else 0 End+64*IsNull("
    "HAS_PERMS_BY_NAME(QuoteName(Schema_Name(t.schema_id))+'.'+QuoteName(t.name),'OBJECT',"
    "'CONTROL'),1),0,(Select Top 1 name From sys.filegroups Where is_default=1) From sys.tables t "
    "Where t.object_id=$T"
    ") d Order By Kind,Number,Ordinal";

enum TableFact : std::int32_t {
  kReplicated = 1,
  kCaptured = 2,
  kChangeTracked = 4,
  kTemporal = 8,
  kMemoryOptimized = 16,
  kFullText = 32,
  kMayGrant = 64,
};

std::string Quoted(const std::string& name) {
  return sql::QuotedName(name);
}

std::string QualifiedTable(const std::string& table) {
  return "[dbo]." + Quoted(table);
}

struct Row {
  std::string kind, name, item, body;
  std::int32_t number = 0, flags = 0, ordinal = 0;
  bool nullBody = false;
  bool outsideGbk = false;
};

// What the run cannot carry over a drop and a re-create, each with what to
// do about it; %s is the table.
struct TableObstacle {
  TableFact fact;
  const char* message;
};
constexpr TableObstacle kTableObstacles[] = {
    // xgettext:c-format
    {kReplicated, N_("%s is published for replication: the run cannot drop it; remove it from "
                     "its publications before the run and add it back after")},
    // xgettext:c-format
    {kCaptured, N_("%s is tracked by change data capture: disable it for the table "
                   "(sys.sp_cdc_disable_table) before the run and enable it after; the changes "
                   "captured so far are not carried")},
    // xgettext:c-format
    {kChangeTracked, N_("%s has change tracking on: disable it (ALTER TABLE ... DISABLE "
                        "CHANGE_TRACKING) before the run and enable it after")},
    // xgettext:c-format
    {kTemporal, N_("%s is a system-versioned (temporal) table or the history of one: the run "
                   "cannot drop and recreate it; set SYSTEM_VERSIONING OFF before the run and on "
                   "after")},
    // xgettext:c-format
    {kMemoryOptimized, N_("%s is memory-optimized: the run would recreate it as an ordinary "
                          "table on disk; rebuild it by hand")},
    // xgettext:c-format
    {kFullText, N_("%s has a full-text index: drop it before the run and create it again after")},
};

void ReadTableFacts(TableDependents& d, const Row& row) {
  d.exists = true;
  d.mayGrant = (row.flags & kMayGrant) != 0;
  const std::string& filegroup = row.name;
  const std::string& scheme = row.item;
  const std::string& defaultFilegroup = row.body;
  std::vector<std::string>& obstacles = d.obstacles;
  for (const TableObstacle& obstacle : kTableObstacles) {
    if (row.flags & obstacle.fact) obstacles.push_back(text::TrFormat(obstacle.message, d.table));
  }
  if (!scheme.empty()) {
    obstacles.push_back(text::TrFormat(
        "%s is partitioned (partition scheme %s): the run would recreate it unpartitioned on the "
        "default filegroup; rebuild it by hand",
        d.table, scheme));
  } else if (!filegroup.empty() && !defaultFilegroup.empty() &&
             !text::EqualsIgnoringAsciiCase(filegroup, defaultFilegroup)) {
    obstacles.push_back(text::TrFormat(
        "%s is stored on filegroup %s, but the run would recreate it on the default filegroup "
        "%s; move it to %s, or make %s the default filegroup for the run",
        d.table, filegroup, defaultFilegroup, defaultFilegroup, filegroup));
  }
}

void ReadRow(TableDependents& d, const Row& row, std::map<std::int32_t, IndexInfo*>& indexes,
             std::map<std::string, ForeignKeyInfo*>& keys) {
  const std::string& k = row.kind;
  if (k == "I") {
    IndexInfo& index = d.indexes.emplace_back();
    index.name = row.name;
    index.compression = row.item;
    index.unique = row.flags & 1;
    index.uniqueConstraint = row.flags & 2;
    index.clustered = row.flags & 4;
    index.ignoreDuplicateKey = row.flags & 8;
    index.disabled = row.flags & 16;
    index.padded = row.flags & 32;
    index.fillFactor = row.ordinal;
    index.filter = row.body;
    index.outsideGbk = row.outsideGbk;
  } else if (k == "IC") {
    if (IndexInfo* index = indexes[row.number]) {
      index->columns.push_back({row.name, (row.flags & 1) != 0, (row.flags & 2) != 0});
      index->outsideGbk = index->outsideGbk || row.outsideGbk;
    }
  } else if (k == "U") {
    d.obstacles.push_back(
        text::TrFormat("%s has the index %s of the kind %s, which the run cannot create again; "
                       "drop it before the run and create it again after",
                       d.table, row.name, row.item));
  } else if (k == "K") {
    d.checks.push_back(
        {row.outsideGbk, row.name, row.body, (row.flags & 1) != 0, (row.flags & 2) != 0});
  } else if (k == "D") {
    d.defaults.push_back({row.outsideGbk, row.name, row.item, row.body});
  } else if (k == "F") {
    ForeignKeyInfo& key = d.foreignKeys.emplace_back();
    key.outsideGbk = row.outsideGbk;
    key.name = row.name;
    key.referencedTable = row.item;
    key.disabled = row.flags & 1;
    key.notTrusted = row.flags & 2;
    key.mayReference = (row.flags & 4) == 0;
    key.onDelete = row.ordinal / 10;
    key.onUpdate = row.ordinal % 10;
  } else if (k == "FC") {
    if (ForeignKeyInfo* key = keys[row.name]) {
      key->columns.emplace_back(row.item, row.body);
      key->outsideGbk = key->outsideGbk || row.outsideGbk;
    }
  } else if (k == "R") {
    d.obstacles.push_back(text::TrFormat(
        "%s is referenced by the foreign key %s of %s: the run could not drop it; drop that "
        "foreign key before the run and create it again after",
        d.table, row.name, row.item));
  } else if (k == "T") {
    d.triggers.push_back({row.outsideGbk, row.name, row.body, (row.flags & 2) != 0,
                          (row.flags & 1) != 0, (row.flags & 4) != 0});
  } else if (k == "P") {
    d.permissions.push_back(
        {row.outsideGbk, static_cast<char>(row.flags), row.name, row.item, row.body});
  } else if (k == "E") {
    d.properties.push_back({row.outsideGbk, row.name, row.body, row.item, (row.flags & 1) != 0});
  } else if (k == "B") {
    d.obstacles.push_back(text::TrFormat(
        "%s is bound to the schema of %s (%s): the run could not drop it; alter %s without "
        "SCHEMABINDING, or drop it before the run and create it again after",
        d.table, row.name, row.item, row.name));
  } else if (k == "X") {
    ReadTableFacts(d, row);
  }
}

bool HasColumn(const NewTableShape& shape, const std::string& name) {
  return std::any_of(shape.columns.begin(), shape.columns.end(), [&](const ColumnDefinition& c) {
    return text::EqualsIgnoringAsciiCase(c.name, name);
  });
}

const ColumnDefinition* ColumnOf(const NewTableShape& shape, const std::string& name) {
  for (const ColumnDefinition& column : shape.columns) {
    if (text::EqualsIgnoringAsciiCase(column.name, name)) return &column;
  }
  return nullptr;
}

bool IsOwnName(const NewTableShape& shape, const std::string& name) {
  return std::any_of(shape.ownNames.begin(), shape.ownNames.end(), [&](const std::string& own) {
    return text::EqualsIgnoringAsciiCase(own, name);
  });
}

// The bracketed names a catalog definition uses ("([Qty]>=(0))"), outside
// its string literals. Read by characters: a name such as 乚 ends in the
// byte of "]".
std::vector<std::string> NamesIn(const std::string& definition) {
  std::vector<std::string> names;
  bool inLiteral = false;
  std::string* name = nullptr;
  for (std::size_t i = 0; i < definition.size();) {
    const std::size_t length = text::GbkCharacterLength(definition, i);
    const char c = length == 1 ? definition[i] : '\0';
    const bool doubled = i + 1 < definition.size() && definition[i + 1] == c;
    if (name != nullptr) {
      if (c == ']' && !doubled) {
        name = nullptr;
      } else {
        name->append(definition, i, length);
        if (c == ']') ++i;  // "]]" is one "]" of the name
      }
    } else if (c == '\'') {
      inLiteral = !inLiteral;
    } else if (c == '[' && !inLiteral) {
      name = &names.emplace_back();
    }
    i += length;
  }
  return names;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::vector<std::string> Missing(const NewTableShape& shape,
                                 const std::vector<std::string>& names) {
  std::vector<std::string> missing;
  for (const std::string& name : names) {
    if (!HasColumn(shape, name) && std::find(missing.begin(), missing.end(), name) == missing.end())
      missing.push_back(name);
  }
  return missing;
}

std::string IndexOptions(const IndexInfo& index) {
  std::vector<std::string> options;
  if (index.padded) options.push_back("Pad_Index = On");
  if (index.fillFactor > 0) options.push_back(sql::Format("FillFactor = %d", index.fillFactor));
  if (index.ignoreDuplicateKey) options.push_back("Ignore_Dup_Key = On");
  if (!index.compression.empty() && !text::EqualsIgnoringAsciiCase(index.compression, "NONE")) {
    options.push_back("Data_Compression = " + index.compression);
  }
  return options.empty() ? std::string() : " With (" + Joined(options) + ")";
}

std::string KeyList(const IndexInfo& index, bool included) {
  std::vector<std::string> keys;
  for (const IndexColumn& column : index.columns) {
    if (column.included != included) continue;
    keys.push_back(Quoted(column.name) + (column.descending ? " Desc" : ""));
  }
  return Joined(keys);
}

std::string IndexStatement(const std::string& table, const IndexInfo& index) {
  const std::string kind = index.clustered ? "Clustered" : "NonClustered";
  if (index.uniqueConstraint) {
    return sql::Format("Alter Table %s Add Constraint %s Unique %s (%s)%s", QualifiedTable(table),
                       Quoted(index.name), kind, KeyList(index, false), IndexOptions(index));
  }
  std::string statement =
      sql::Format("Create %s%s Index %s On %s (%s)", index.unique ? "Unique " : "", kind,
                  Quoted(index.name), QualifiedTable(table), KeyList(index, false));
  if (const std::string included = KeyList(index, true); !included.empty()) {
    statement += " Include (" + included + ")";
  }
  if (!index.filter.empty()) statement += " Where " + index.filter;
  return statement + IndexOptions(index);
}

std::string ReferentialAction(std::int32_t action) {
  switch (action) {
    case 1:
      return "Cascade";
    case 2:
      return "Set Null";
    case 3:
      return "Set Default";
    default:
      return {};
  }
}

std::string ForeignKeyStatement(const std::string& table, const ForeignKeyInfo& key) {
  std::vector<std::string> ours, theirs;
  for (const auto& [own, referenced] : key.columns) {
    ours.push_back(Quoted(own));
    theirs.push_back(Quoted(referenced));
  }
  std::string statement =
      sql::Format("Alter Table %s%s Add Constraint %s Foreign Key (%s) References %s (%s)",
                  QualifiedTable(table), key.notTrusted ? " With NoCheck" : "", Quoted(key.name),
                  Joined(ours), key.referencedTable, Joined(theirs));
  if (const std::string action = ReferentialAction(key.onDelete); !action.empty()) {
    statement += " On Delete " + action;
  }
  if (const std::string action = ReferentialAction(key.onUpdate); !action.empty()) {
    statement += " On Update " + action;
  }
  return statement;
}

std::string PermissionStatement(const std::string& table, const PermissionInfo& permission) {
  const std::string column =
      permission.column.empty() ? "" : " (" + Quoted(permission.column) + ")";
  return sql::Format("%s %s%s On %s To %s%s", permission.state == 'D' ? "Deny" : "Grant",
                     permission.permission, column, QualifiedTable(table),
                     Quoted(permission.grantee),
                     permission.state == 'W' ? " With Grant Option" : "");
}

std::string PermissionText(const std::string& table, const PermissionInfo& permission) {
  return sql::Format("%s %s on %s%s to %s", permission.state == 'D' ? "DENY" : "GRANT",
                     permission.permission, table,
                     permission.column.empty() ? "" : "." + permission.column, permission.grantee);
}

std::string PropertyStatement(const std::string& table, const PropertyInfo& property) {
  std::string statement = sql::Format(
      "Exec sys.sp_addextendedproperty @name=%s, @value=%s, @level0type=N'SCHEMA', "
      "@level0name=N'dbo', @level1type=N'TABLE', @level1name=%s",
      UnicodeLiteral(property.name), UnicodeLiteral(property.value), UnicodeLiteral(table));
  if (!property.column.empty()) {
    statement += ", @level2type=N'COLUMN', @level2name=" + UnicodeLiteral(property.column);
  }
  return statement;
}

class CarryPlanner {
 public:
  CarryPlanner(const TableDependents& d, const NewTableShape& shape, CarryScope scope)
      : d_(d), shape_(shape), scope_(scope) {
    carry_.table = d.table;
  }

  Carry Plan() {
    for (const std::string& obstacle : d_.obstacles) carry_.refusals.push_back(obstacle);
    // Defaults and checks first: the indexes and keys after them may
    // depend on values they guard.
    if (Everything()) {
      for (const DefaultInfo& item : d_.defaults) PlanDefault(item);
      for (const CheckInfo& item : d_.checks) PlanCheck(item);
    } else {
      const long long defaults = Count(d_.defaults), checks = Count(d_.checks);
      LoseAll(defaults, text::TrPlural("%d default of %s", "%d defaults of %s", defaults, defaults,
                                       d_.table));
      LoseAll(checks, text::TrPlural("%d check constraint of %s", "%d check constraints of %s",
                                     checks, checks, d_.table));
    }
    for (const IndexInfo& item : d_.indexes) PlanIndex(item);
    if (Everything()) {
      for (const ForeignKeyInfo& item : d_.foreignKeys) PlanForeignKey(item);
      for (const TriggerInfo& item : d_.triggers) PlanTrigger(item);
    } else {
      const long long keys = Count(d_.foreignKeys), triggers = Count(d_.triggers);
      LoseAll(keys, text::TrPlural("%d foreign key of %s", "%d foreign keys of %s", keys, keys,
                                   d_.table));
      LoseAll(triggers, text::TrPlural("%d trigger of %s", "%d triggers of %s", triggers, triggers,
                                       d_.table));
    }
    for (const PermissionInfo& item : d_.permissions) PlanPermission(item);
    if (Everything()) {
      for (const PropertyInfo& item : d_.properties) PlanProperty(item);
    } else {
      const long long properties = Count(d_.properties);
      LoseAll(properties, text::TrPlural("%d description of %s", "%d descriptions of %s",
                                         properties, properties, d_.table));
    }
    return carry_;
  }

 private:
  bool Everything() const { return scope_ == CarryScope::kEverything; }

  template <typename Items>
  static long long Count(const Items& items) {
    return static_cast<long long>(items.size());
  }

  // False, with a refusal, when the catalog's text would not survive; `what`
  // names the dependent ("the default DF_Qty").
  bool Sendable(bool outsideGbk, const std::string& what) {
    if (!outsideGbk) return true;
    carry_.refusals.push_back(text::TrFormat(
        "%s: %s holds characters that code page 936 (GBK) cannot, so the run could not create "
        "it again unchanged; rename or change it before the run",
        d_.table, what));
    return false;
  }

  // `what` names the dependents and their table ("1 trigger of T_U").
  void LoseAll(long long count, const std::string& what) {
    if (count == 0) return;
    carry_.lost.push_back(text::TrFormat(
        "%s (the table is recreated empty and bare by design; only its permissions and indexes "
        "are carried)",
        what));
  }

  // `what` names the dependent and its table ("index IX_A on T").
  bool ColumnsRemain(const std::string& what, const std::vector<std::string>& columns) {
    const std::vector<std::string> missing = Missing(shape_, columns);
    if (missing.empty()) return true;
    carry_.lost.push_back(text::TrPlural("%s (%s is no column of the new table)",
                                         "%s (%s are no column of the new table)", Count(missing),
                                         what, Joined(missing)));
    return false;
  }

  void PlanDefault(const DefaultInfo& item) {
    const ColumnDefinition* column = ColumnOf(shape_, item.column);
    if (column == nullptr) {
      ColumnsRemain(text::TrFormat("default %s on %s", item.name, d_.table), {item.column});
      return;
    }
    // The new definition brings its own default, as it always has.
    if (HasClause(column->definition, "DEFAULT")) return;
    if (!Sendable(item.outsideGbk, text::TrFormat("the default %s", item.name))) return;
    carry_.statements.push_back(sql::Format("Alter Table %s Add Constraint %s Default %s For %s",
                                            QualifiedTable(d_.table), Quoted(item.name),
                                            item.definition, Quoted(item.column)));
    ++carry_.counts.constraints;
  }

  void PlanCheck(const CheckInfo& item) {
    if (!ColumnsRemain(text::TrFormat("check constraint %s on %s", item.name, d_.table),
                       NamesIn(item.definition))) {
      return;
    }
    if (!Sendable(item.outsideGbk, text::TrFormat("the check constraint %s", item.name))) return;
    carry_.statements.push_back(
        sql::Format("Alter Table %s%s Add Constraint %s Check %s", QualifiedTable(d_.table),
                    item.notTrusted ? " With NoCheck" : "", Quoted(item.name), item.definition));
    if (item.disabled) DisableConstraint(item.name);
    ++carry_.counts.constraints;
  }

  void DisableConstraint(const std::string& name) {
    carry_.statements.push_back(sql::Format("Alter Table %s NoCheck Constraint %s",
                                            QualifiedTable(d_.table), Quoted(name)));
  }

  void PlanIndex(const IndexInfo& item) {
    if (IsOwnName(shape_, item.name)) return;
    std::vector<std::string> columns;
    for (const IndexColumn& column : item.columns) columns.push_back(column.name);
    const std::vector<std::string> filtered = NamesInFilter(item);
    columns.insert(columns.end(), filtered.begin(), filtered.end());
    const bool constraint = item.uniqueConstraint;
    if (!ColumnsRemain(constraint
                           ? text::TrFormat("unique constraint %s on %s", item.name, d_.table)
                           : text::TrFormat("index %s on %s", item.name, d_.table),
                       columns)) {
      return;
    }
    if (item.clustered && shape_.clusteredPrimaryKey) {
      carry_.refusals.push_back(
          constraint ? text::TrFormat("%s: the clustered unique constraint %s cannot be carried, "
                                      "because the rebuilt table's primary key takes its "
                                      "clustered index; make %s nonclustered before the run",
                                      d_.table, item.name, item.name)
                     : text::TrFormat("%s: the clustered index %s cannot be carried, because the "
                                      "rebuilt table's primary key takes its clustered index; "
                                      "make %s nonclustered before the run",
                                      d_.table, item.name, item.name));
      return;
    }
    if (!Sendable(item.outsideGbk, constraint ? text::TrFormat("unique constraint %s", item.name)
                                              : text::TrFormat("index %s", item.name))) {
      return;
    }
    carry_.statements.push_back(IndexStatement(d_.table, item));
    if (item.disabled) {
      carry_.statements.push_back(
          sql::Format("Alter Index %s On %s Disable", Quoted(item.name), QualifiedTable(d_.table)));
    }
    ++(item.uniqueConstraint ? carry_.counts.constraints : carry_.counts.indexes);
  }

  static std::vector<std::string> NamesInFilter(const IndexInfo& item) {
    return item.filter.empty() ? std::vector<std::string>() : NamesIn(item.filter);
  }

  void PlanForeignKey(const ForeignKeyInfo& item) {
    std::vector<std::string> columns;
    for (const auto& pair : item.columns) columns.push_back(pair.first);
    if (!ColumnsRemain(text::TrFormat("foreign key %s on %s", item.name, d_.table), columns)) {
      return;
    }
    if (!Sendable(item.outsideGbk, text::TrFormat("the foreign key %s", item.name))) return;
    if (!item.mayReference) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the login may not create the foreign key %s again, which needs REFERENCES on %s; "
          "grant it that right",
          d_.table, item.name, item.referencedTable));
      return;
    }
    carry_.statements.push_back(ForeignKeyStatement(d_.table, item));
    if (item.disabled) DisableConstraint(item.name);
    ++carry_.counts.constraints;
  }

  void PlanTrigger(const TriggerInfo& item) {
    if (item.encrypted) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the trigger %s is encrypted, so its definition cannot be read to create it again; "
          "drop it before the run and create it again from its source after",
          d_.table, item.name));
      return;
    }
    if (item.settingsOff) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the trigger %s was created with ANSI_NULLS or QUOTED_IDENTIFIER off, which the "
          "run's session cannot reproduce; create it again with both on before the run",
          d_.table, item.name));
      return;
    }
    if (!Sendable(item.outsideGbk, text::TrFormat("the trigger %s", item.name))) return;
    carry_.triggers.push_back(item);
    ++carry_.counts.triggers;
  }

  void PlanPermission(const PermissionInfo& item) {
    if (!item.column.empty() && !ColumnsRemain(PermissionText(d_.table, item), {item.column}))
      return;
    if (!Sendable(item.outsideGbk, PermissionText(d_.table, item))) return;
    if (!d_.mayGrant) {
      carry_.refusals.push_back(text::TrFormat(
          "the login may not give back %s, which the rebuild would otherwise lose; grant the "
          "login CONTROL on dbo.%s (or run as a member of db_owner)",
          PermissionText(d_.table, item), d_.table));
      return;
    }
    carry_.statements.push_back(PermissionStatement(d_.table, item));
    ++carry_.counts.permissions;
  }

  void PlanProperty(const PropertyInfo& item) {
    const std::string what = item.column.empty() ? text::TrFormat("the description %s", item.name)
                                                 : text::TrFormat("the description %s of column %s",
                                                                  item.name, item.column);
    if (!item.column.empty() &&
        !ColumnsRemain(text::TrFormat("the description %s of column %s on %s", item.name,
                                      item.column, d_.table),
                       {item.column})) {
      return;
    }
    if (item.notText) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: %s holds a value that is no text, which the run cannot create again; drop it "
          "before the run and add it again after",
          d_.table, what));
      return;
    }
    if (!Sendable(item.outsideGbk, what)) return;
    carry_.statements.push_back(PropertyStatement(d_.table, item));
    ++carry_.counts.properties;
  }

  const TableDependents& d_;
  const NewTableShape& shape_;
  const CarryScope scope_;
  Carry carry_;
};

}  // namespace

std::string DependentsQuery(const std::string& table) {
  std::string query(kDependentsSql);
  const std::string id = "Object_ID(" + sql::Literal(table) + ")";
  for (std::size_t at = query.find("$T"); at != std::string::npos; at = query.find("$T", at)) {
    query.replace(at, 2, id);
    at += id.size();
  }
  return query;
}

TableDependents ReadTableDependents(sql::SqlAccess& access, const std::string& table) {
  TableDependents dependents;
  dependents.table = table;
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(DependentsQuery(table));
  query.Open();
  std::vector<Row> rows;
  for (; !query.End(); query.Next()) {
    Row& row = rows.emplace_back();
    row.kind = query.FieldByName("Kind").AsString();
    row.name = query.FieldByName("Name").AsString();
    row.item = query.FieldByName("Item").AsString();
    row.number = query.FieldByName("Number").AsInteger();
    row.flags = query.FieldByName("Flags").AsInteger();
    row.ordinal = query.FieldByName("Ordinal").AsInteger();
    row.body = query.FieldByName("Body").AsString();
    row.outsideGbk = query.FieldByName("Gbk").AsString() == "0";
  }
  // The column rows name their index by number and their key by name; the
  // owners come first in the result's order, but are looked up, not assumed.
  std::map<std::int32_t, IndexInfo*> indexes;
  std::map<std::string, ForeignKeyInfo*> keys;
  for (const Row& row : rows) {
    if (row.kind == "I" || row.kind == "F") ReadRow(dependents, row, indexes, keys);
  }
  std::size_t i = 0;
  for (const Row& row : rows) {
    if (row.kind == "I") indexes[row.number] = &dependents.indexes[i++];
  }
  for (ForeignKeyInfo& key : dependents.foreignKeys) keys[key.name] = &key;
  for (const Row& row : rows) {
    if (row.kind != "I" && row.kind != "F") ReadRow(dependents, row, indexes, keys);
  }
  return dependents;
}

CarriedCounts& CarriedCounts::operator+=(const CarriedCounts& other) {
  indexes += other.indexes;
  constraints += other.constraints;
  permissions += other.permissions;
  triggers += other.triggers;
  properties += other.properties;
  return *this;
}

std::int32_t CarriedCounts::Total() const {
  return indexes + constraints + permissions + triggers + properties;
}

std::string CarriedText(const CarriedCounts& counts) {
  std::string parts;
  // TRANSLATORS: between the counts of a list such as "2 indexes, 4 permissions"
  const std::string separator = text::Tr(", ");
  const auto add = [&](std::string part) { parts += (parts.empty() ? "" : separator) + part; };
  if (counts.indexes > 0) {
    add(text::TrPlural("%d index", "%d indexes", counts.indexes, counts.indexes));
  }
  if (counts.constraints > 0) {
    add(text::TrPlural("%d constraint", "%d constraints", counts.constraints, counts.constraints));
  }
  if (counts.permissions > 0) {
    add(text::TrPlural("%d permission", "%d permissions", counts.permissions, counts.permissions));
  }
  if (counts.triggers > 0) {
    add(text::TrPlural("%d trigger", "%d triggers", counts.triggers, counts.triggers));
  }
  if (counts.properties > 0) {
    add(text::TrPlural("%d description", "%d descriptions", counts.properties, counts.properties));
  }
  return parts.empty() ? std::string() : text::TrFormat("%s carried", parts);
}

Carry PlanCarry(const TableDependents& dependents, const NewTableShape& shape, CarryScope scope) {
  return CarryPlanner(dependents, shape, scope).Plan();
}

std::string TriggerStatement(const std::string& table, const TriggerInfo& trigger) {
  const std::string name = "[dbo]." + Quoted(trigger.name);
  const std::string create = "Exec(" + UnicodeLiteral(trigger.definition) + ")";
  const std::string exists = "If Object_ID(" + UnicodeLiteral(name) + ",N'TR') Is Null ";
  if (!trigger.disabled) return exists + create;
  return exists + "Begin " + create + " Exec(" +
         UnicodeLiteral("Disable Trigger " + name + " On " + QualifiedTable(table)) + ") End";
}

std::string TriggerExistsQuery(const TriggerInfo& trigger) {
  return "Select Object_ID(" + UnicodeLiteral("[dbo]." + Quoted(trigger.name)) + ",N'TR')";
}

void FlagCarries(Findings* findings, std::int32_t tableTag, const std::vector<Carry>& carries) {
  for (const Carry& carry : carries) {
    for (const std::string& refusal : carry.refusals) Flag(findings, tableTag, refusal);
  }
  if (findings == nullptr) return;
  TablePlan& plan = findings->Current();
  for (const Carry& carry : carries) {
    plan.carried += carry.counts;
    plan.dependentsLost.insert(plan.dependentsLost.end(), carry.lost.begin(), carry.lost.end());
  }
}

void CarryDependents(sql::SqlAccess& access, const std::vector<Carry>& carries,
                     const DependentsCarried& carried) {
  StatementRunner statements(access);
  CarriedCounts counts;
  std::vector<std::string> lost;
  for (const Carry& carry : carries) {
    for (const std::string& statement : carry.statements) statements.Execute(statement);
    counts += carry.counts;
    lost.insert(lost.end(), carry.lost.begin(), carry.lost.end());
    for (const TriggerInfo& trigger : carry.triggers) {
      // A plan cannot know what the procedure will have made: its script
      // asks the same question the statement does.
      if (sql::PlanOf(access) == nullptr) {
        sql::SqlQuery query(access, sql::kSizeConnectionName);
        query.SetText(TriggerExistsQuery(trigger));
        query.Open();
        if (!query.Empty() && !query.Field(0).IsNull()) {
          --counts.triggers;
          lost.push_back(
              text::TrFormat("trigger %s of %s (the application's trigger procedure "
                             "made its own of that name, which stays)",
                             trigger.name, carry.table));
          continue;
        }
      }
      statements.Execute(TriggerStatement(carry.table, trigger));
    }
  }
  if (carried) carried(counts, lost);
}

}  // namespace slotsync::rebuild
