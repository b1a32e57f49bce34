// The one catalog read of a table's dependents (rebuild/table_dependents.h).
#include "rebuild/table_dependents.h"

#include <map>

#include "rebuild/module_text.h"
#include "sql/quoting.h"
#include "sql/sql_access.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
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
    // secondary indexes and unique constraints; 64 and 128: row and page
    // locks are not allowed, 256: their statistics are not recomputed
    "Select 'I' As Kind,Convert(NVarchar(260),i.name) As Name,Convert(NVarchar(260),(Select "
    "Max(p.data_compression_desc) From sys.partitions p Where p.object_id=i.object_id And "
    "p.index_id=i.index_id)) As Item,i.index_id As Number,Convert(Int,i.is_unique)+2*Convert(Int,"
    "i.is_unique_constraint)+4*Case When i.type=1 Then 1 Else 0 End+8*Convert(Int,"
    "i.ignore_dup_key)+16*Convert(Int,i.is_disabled)+32*Convert(Int,i.is_padded)+64*(1-Convert("
    "Int,i.allow_row_locks))+128*(1-Convert(Int,i.allow_page_locks))+256*IsNull((Select Convert("
    "Int,s.no_recompute) From sys.stats s Where s.object_id=i.object_id And s.stats_id="
    "i.index_id),0) As Flags,"
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
    // check constraints; 4: it calls code outside the table (a function), 8:
    // not for replication
    "Union All Select 'K',cc.name,Null,0,Convert(Int,cc.is_disabled)+2*Convert(Int,"
    "cc.is_not_trusted)+4*Case When Exists(Select * From sys.sql_expression_dependencies sd Where "
    "sd.referencing_id=cc.object_id And Not (sd.referenced_class=1 And IsNull(sd.referenced_id,0)"
    "=$T)) Then 1 Else 0 End+8*Convert(Int,cc.is_not_for_replication),0,cc.definition From "
    "sys.check_constraints cc Where "
    "cc.parent_object_id=$T "
    "Union All Select 'D',dc.name,c.name,0,0,0,dc.definition From sys.default_constraints dc Join "
    "sys.columns c On c.object_id=dc.parent_object_id And c.column_id=dc.parent_column_id Where "
    "dc.parent_object_id=$T "
    // foreign keys of this table (8: not for replication), and their column pairs
    "Union All Select 'F',fk.name,QuoteName(Schema_Name(r.schema_id))+'.'+QuoteName(r.name),0,"
    "Convert(Int,fk.is_disabled)+2*Convert(Int,fk.is_not_trusted)+4*(1-IsNull(HAS_PERMS_BY_NAME("
    "QuoteName(Schema_Name(r.schema_id))+'.'+QuoteName(r.name),'OBJECT','REFERENCES'),1))+8*"
    "Convert(Int,fk.is_not_for_replication),"
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
    // triggers, with the user each runs as when that is neither its caller
    // nor its owner (EXECUTE AS SELF or 'user'; by number when the login may
    // not see that user): 8 that user is the run's own, 16 the login may
    // impersonate it
    "Union All Select 'T',t.name,Case When m.execute_as_principal_id>0 Then IsNull(ea.name,"
    "N'principal_id '+Convert(NVarchar(11),m.execute_as_principal_id)) End,0,Convert(Int,"
    "t.is_disabled)+2*Case When m.definition Is Null Then 1 Else 0 End+4*Case When "
    "m.uses_ansi_nulls=0 Or m.uses_quoted_identifier=0 Then 1 "
    "Else 0 End+8*Case When m.execute_as_principal_id=Database_Principal_ID() Then 1 Else 0 End+16*"
    "Case When ea.principal_id Is Null Then 0 Else IsNull(HAS_PERMS_BY_NAME(ea.name,'USER',"
    "'IMPERSONATE'),0) End,0,m.definition From sys.triggers t Left Join sys.sql_modules m On "
    "m.object_id=t.object_id Left Join sys.database_principals ea On "
    "ea.principal_id=m.execute_as_principal_id Where t.parent_id=$T "
    // the statements a trigger fires first (1) or last (2) for
    "Union All Select 'TO',t.name,te.type_desc,0,Convert(Int,te.is_first)+2*Convert(Int,"
    "te.is_last),0,Null From sys.trigger_events te Join sys.triggers t On t.object_id="
    "te.object_id Where t.parent_id=$T And (te.is_first=1 Or te.is_last=1) "
    // permissions, numbered by their grantor when that is not the run's own user
    "Union All Select 'P',dp.permission_name,pr.name,Case When dp.grantor_principal_id"
    // not a message
    "=Database_Principal_ID() Then 0 Else dp.grantor_principal_id End,Ascii(dp.state),"
    "dp.minor_id,c.name From sys.database_permissions dp Join sys.database_principals pr On "
    "pr.principal_id=dp.grantee_principal_id Left Join sys.columns c On c.object_id=dp.major_id "
    "And c.column_id=dp.minor_id Where dp.class=1 And dp.major_id=$T And dp.state In ('G','W','D') "
    "Union All Select 'E',ep.name,c.name,0,Case When Convert(NVarchar(128),SQL_Variant_Property("
    "ep.value,'BaseType')) In (N'nvarchar',N'varchar',N'nchar',N'char') Then 0 Else 1 End,"
    "ep.minor_id,Convert(NVarchar(max),ep.value) From sys.extended_properties ep Left Join "
    "sys.columns c On c.object_id=ep.major_id And c.column_id=ep.minor_id Where ep.class=1 And "
    "ep.major_id=$T "
    // the principals the rows above and below name by number: the grantors,
    // with 1 when the login may grant in their name (GRANT ... AS: IMPERSONATE
    // on a user, ALTER on a role, or db_owner or db_securityadmin), and the
    // table's owner; and with 2 the run's own user
    "Union All Select 'A',a.name,Null,a.principal_id,Case When IsNull(Is_SrvRoleMember('sysadmin'),"
    "0)=1 Or IsNull(Is_RoleMember('db_owner'),0)=1 Or IsNull(Is_RoleMember('db_securityadmin'),0)"
    "=1 Or (a.type In ('S','U','E') And IsNull(HAS_PERMS_BY_NAME(a.name,'USER','IMPERSONATE'),0)"
    "=1) Or (a.type='R' And IsNull(HAS_PERMS_BY_NAME(a.name,'ROLE','ALTER'),0)=1) Or (a.type='A' "
    "And IsNull(HAS_PERMS_BY_NAME(a.name,'APPLICATION ROLE','ALTER'),0)=1) Then 1 Else 0 End+2*"
    "Case When a.principal_id=Database_Principal_ID() Then 1 Else 0 End,0,"
    "Null From sys.database_principals a Where a.principal_id In (Select dp.grantor_principal_id "
    "From sys.database_permissions dp Where dp.class=1 And dp.major_id=$T And dp.state In ('G',"
    "'W','D') Union Select t.principal_id From sys.tables t Where t.object_id=$T Union Select "
    "Database_Principal_ID()) "
    // views and functions bound to the table's schema: the drop would fail
    "Union All Select Distinct 'B',Object_Schema_Name(d.referencing_id)+'.'+Object_Name("
    "d.referencing_id),o.type_desc,0,0,0,Null From sys.sql_expression_dependencies d Join "
    "sys.objects o On o.object_id=d.referencing_id Where d.referenced_id=$T And "
    "d.is_schema_bound_reference=1 And d.referencing_id<>$T And IsNull(o.parent_object_id,0)<>$T "
    // views (1) and inline functions (2) that read the table without being
    // bound to its schema: refreshed after the rebuild, which needs ALTER on
    // each (Flags 1: the login lacks it)
    "Union All Select Distinct 'V',o.name,Schema_Name(o.schema_id),Case When o.type='V' Then 1 "
    "Else 2 End,Case When IsNull(HAS_PERMS_BY_NAME(QuoteName(Schema_Name(o.schema_id))+'.'+"
    "QuoteName(o.name),'OBJECT','ALTER'),0)=1 Then 0 Else 1 End,0,Null From "
    "sys.sql_expression_dependencies d Join sys.objects o On o.object_id=d.referencing_id Where "
    "d.referenced_id=$T And d.is_schema_bound_reference=0 And o.type In ('V','IF') "
    // the table itself: where it is stored, what it takes part in, whether
    // the login may re-grant its permissions, and its owner when that is not
    // the owner of its schema (ALTER AUTHORIZATION); 128: the login does not
    // see every permission on it (sys.database_permissions shows another
    // principal's only with VIEW DEFINITION); Ordinal its lock escalation and
    // 4 times the data compression of its heap or clustered index
    "Union All Select 'X',(Select Top 1 fg.name From sys.indexes i Join sys.filegroups fg On "
    "fg.data_space_id=i.data_space_id Where i.object_id=t.object_id And i.index_id In (0,1)),"
    "(Select Top 1 ps.name From sys.indexes i Join sys.partition_schemes ps On "
    "ps.data_space_id=i.data_space_id Where i.object_id=t.object_id),Case When t.principal_id<>("
    "Select s.principal_id From sys.schemas s Where s.schema_id=t.schema_id) Then t.principal_id "
    "Else 0 End,Case When "
    "t.is_replicated=1 Or t.is_merge_published=1 Or t.is_schema_published=1 Then 1 Else 0 End+"
    "2*Convert(Int,t.is_tracked_by_cdc)+4*Case When Exists(Select * From "
    "sys.change_tracking_tables "
    "ct Where ct.object_id=t.object_id) Then 1 Else 0 End+8*Case When IsNull(ObjectProperty("
    "t.object_id,'TableTemporalType'),0)<>0 Then 1 Else 0 End+16*IsNull(ObjectProperty("
    "t.object_id,'TableIsMemoryOptimized'),0)+32*Case When Exists(Select * From "
    "sys.fulltext_indexes f Where f.object_id=t.object_id) Then 1 Else 0 End+64*IsNull("
    "HAS_PERMS_BY_NAME(QuoteName(Schema_Name(t.schema_id))+'.'+QuoteName(t.name),'OBJECT',"
    "'CONTROL'),1)+128*Case When IsNull(HAS_PERMS_BY_NAME(Null,'DATABASE','VIEW DEFINITION'),0)"
    "=1 And IsNull(HAS_PERMS_BY_NAME(QuoteName(Schema_Name(t.schema_id))+'.'+QuoteName(t.name),"
    "'OBJECT','VIEW DEFINITION'),0)=1 Then 0 Else 1 End,t.lock_escalation+4*IsNull((Select Max("
    "p.data_compression) From sys.partitions p Where p.object_id=t.object_id And p.index_id In (0,"
    "1)),0),(Select Top 1 name From sys.filegroups Where is_default=1) From sys.tables t "
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
  kGrantsHidden = 128,
};

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

// What the rows name by number: indexes by their index_id, principals by
// their principal_id; foreign keys by name.
struct Lookups {
  std::map<std::int32_t, IndexInfo*> indexes;
  std::map<std::string, ForeignKeyInfo*> keys;
  std::map<std::int32_t, const Row*> principals;

  // A principal the login cannot see is named by its number.
  std::string PrincipalName(std::int32_t id) const {
    const auto found = principals.find(id);
    // not a message
    return found != principals.end() ? found->second->name : sql::Format("principal_id %d", id);
  }
};

void ReadTableFacts(TableDependents& d, const Row& row, const Lookups& lookups) {
  d.exists = true;
  d.mayGrant = (row.flags & kMayGrant) != 0;
  d.grantsHidden = (row.flags & kGrantsHidden) != 0;
  d.lockEscalation = row.ordinal % 4;
  d.dataCompression = row.ordinal / 4;
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
  // The new table belongs to the owner of its schema: the old one's own
  // owner would lose it, and the ownership chains through it would change.
  if (row.number != 0) {
    const std::string owner = lookups.PrincipalName(row.number);
    obstacles.push_back(text::TrFormat(
        "%s belongs to %s rather than to the owner of schema dbo, and the rebuilt table would "
        "belong to the schema's owner: %s would lose the control that ownership gives, and the "
        "ownership chains through the table would change; rebuild it by hand, or transfer it to "
        "the schema's owner before the run (ALTER AUTHORIZATION ON OBJECT::dbo.%s TO SCHEMA "
        "OWNER, which drops its permissions)",
        d.table, owner, owner, d.table));
  }
}

void ReadRow(TableDependents& d, const Row& row, const Lookups& lookups) {
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
    index.rowLocksOff = row.flags & 64;
    index.pageLocksOff = row.flags & 128;
    index.noRecompute = row.flags & 256;
  } else if (k == "IC") {
    if (const auto found = lookups.indexes.find(row.number); found != lookups.indexes.end()) {
      IndexInfo* index = found->second;
      index->columns.push_back({row.name, (row.flags & 1) != 0, (row.flags & 2) != 0});
      index->outsideGbk = index->outsideGbk || row.outsideGbk;
    }
  } else if (k == "U") {
    d.obstacles.push_back(
        text::TrFormat("%s has the index %s of the kind %s, which the run cannot create again; "
                       "drop it before the run and create it again after",
                       d.table, row.name, row.item));
  } else if (k == "K") {
    // A function is always called by a dotted name; the text is read too
    // where the catalog's dependencies do not reach.
    d.checks.push_back({row.outsideGbk, row.name, row.body, (row.flags & 1) != 0,
                        (row.flags & 2) != 0, (row.flags & 4) != 0 || CallsBeyondBuiltIns(row.body),
                        (row.flags & 8) != 0});
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
    key.notForReplication = (row.flags & 8) != 0;
    key.onDelete = row.ordinal / 10;
    key.onUpdate = row.ordinal % 10;
  } else if (k == "FC") {
    if (const auto found = lookups.keys.find(row.name); found != lookups.keys.end()) {
      ForeignKeyInfo* key = found->second;
      key->columns.emplace_back(row.item, row.body);
      key->outsideGbk = key->outsideGbk || row.outsideGbk;
    }
  } else if (k == "R") {
    d.obstacles.push_back(text::TrFormat(
        "%s is referenced by the foreign key %s of %s: the run could not drop it; drop that "
        "foreign key before the run and create it again after",
        d.table, row.name, row.item));
  } else if (k == "T") {
    d.triggers.push_back({row.outsideGbk,
                          row.name,
                          row.body,
                          (row.flags & 2) != 0,
                          (row.flags & 1) != 0,
                          (row.flags & 4) != 0,
                          row.item,
                          (row.flags & 8) != 0,
                          (row.flags & 16) != 0,
                          {}});
  } else if (k == "P") {
    PermissionInfo& permission = d.permissions.emplace_back();
    permission.outsideGbk = row.outsideGbk;
    permission.state = static_cast<char>(row.flags);
    permission.permission = row.name;
    permission.grantee = row.item;
    permission.column = row.body;
    if (row.number != 0) {
      permission.grantor = lookups.PrincipalName(row.number);
      const auto found = lookups.principals.find(row.number);
      permission.mayGrantAs = found != lookups.principals.end() && (found->second->flags & 1);
      permission.outsideGbk =
          permission.outsideGbk || (found != lookups.principals.end() && found->second->outsideGbk);
    }
  } else if (k == "E") {
    d.properties.push_back({row.outsideGbk, row.name, row.body, row.item, (row.flags & 1) != 0});
  } else if (k == "B") {
    d.obstacles.push_back(text::TrFormat(
        "%s is bound to the schema of %s (%s): the run could not drop it; alter %s without "
        "SCHEMABINDING, or drop it before the run and create it again after",
        d.table, row.name, row.item, row.name));
  } else if (k == "TO") {
    for (TriggerInfo& trigger : d.triggers) {
      if (trigger.name != row.name) continue;
      if (row.flags & 1) trigger.order.push_back({row.item, true});
      if (row.flags & 2) trigger.order.push_back({row.item, false});
      trigger.outsideGbk = trigger.outsideGbk || row.outsideGbk;
    }
  } else if (k == "V") {
    d.readers.push_back(
        {row.outsideGbk, row.item, row.name, row.number == 2, (row.flags & 1) == 0});
  } else if (k == "X") {
    ReadTableFacts(d, row, lookups);
  }
}

}  // namespace

std::string DependentsQuery(const std::string& table) {
  std::string query(kDependentsSql);
  const std::string id = "Object_ID(" + sql::UnicodeLiteral(table) + ")";
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
  // The column rows name their index by number and their key by name, the
  // permissions their grantor by number; the owners come first in the
  // result's order, but are looked up, not assumed.
  Lookups lookups;
  const auto first = [](const Row& row) {
    return row.kind == "I" || row.kind == "F" || row.kind == "A";
  };
  for (const Row& row : rows) {
    if (row.kind == "I" || row.kind == "F") ReadRow(dependents, row, lookups);
    if (row.kind == "A") lookups.principals[row.number] = &row;
    if (row.kind == "A" && (row.flags & 2)) dependents.runUser = row.number;
  }
  std::size_t i = 0;
  for (const Row& row : rows) {
    if (row.kind == "I") lookups.indexes[row.number] = &dependents.indexes[i++];
  }
  for (ForeignKeyInfo& key : dependents.foreignKeys) lookups.keys[key.name] = &key;
  // A trigger's order rows, once every trigger is read.
  for (const Row& row : rows) {
    if (!first(row) && row.kind != "TO") ReadRow(dependents, row, lookups);
  }
  for (const Row& row : rows) {
    if (row.kind == "TO") ReadRow(dependents, row, lookups);
  }
  return dependents;
}

}  // namespace slotsync::rebuild
