#include "rebuild/dependent_statements.h"

#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

std::string Quoted(const std::string& name) {
  return sql::QuotedName(name);
}

std::string IndexOptions(const IndexInfo& index) {
  std::vector<std::string> options;
  if (index.padded) options.push_back("Pad_Index = On");
  if (index.fillFactor > 0) options.push_back(sql::Format("FillFactor = %d", index.fillFactor));
  if (index.ignoreDuplicateKey) options.push_back("Ignore_Dup_Key = On");
  if (index.noRecompute) options.push_back("Statistics_NoRecompute = On");
  if (index.rowLocksOff) options.push_back("Allow_Row_Locks = Off");
  if (index.pageLocksOff) options.push_back("Allow_Page_Locks = Off");
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

}  // namespace

std::string QualifiedTable(const std::string& table) {
  return "[dbo]." + Quoted(table);
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
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

std::string ForeignKeyStatement(const std::string& table, const ForeignKeyInfo& key) {
  std::vector<std::string> ours, theirs;
  for (const auto& [own, referenced] : key.columns) {
    ours.push_back(Quoted(own));
    theirs.push_back(Quoted(referenced));
  }
  std::string statement = sql::Format(
      "Alter Table %s With NoCheck Add Constraint %s Foreign Key (%s) References %s (%s)",
      QualifiedTable(table), Quoted(key.name), Joined(ours), key.referencedTable, Joined(theirs));
  if (const std::string action = ReferentialAction(key.onDelete); !action.empty()) {
    statement += " On Delete " + action;
  }
  if (const std::string action = ReferentialAction(key.onUpdate); !action.empty()) {
    statement += " On Update " + action;
  }
  if (key.notForReplication) statement += " Not For Replication";
  return statement;
}

KeyMove KeyMoveOf(const std::string& table, const ForeignKeyInfo& key, bool carried) {
  KeyMove move;
  move.table = table;
  move.name = key.name;
  move.referenced = key.referencedTable;
  move.carried = carried;
  move.drop =
      sql::Format("Alter Table %s Drop Constraint %s", QualifiedTable(table), Quoted(key.name));
  move.make = ForeignKeyStatement(table, key);
  if (key.disabled) {
    move.settle = sql::Format("Alter Table %s NoCheck Constraint %s", QualifiedTable(table),
                              Quoted(key.name));
  } else if (!key.notTrusted) {
    move.settle = sql::Format("Alter Table %s With Check Check Constraint %s",
                              QualifiedTable(table), Quoted(key.name));
    move.checks = true;
  }
  return move;
}

std::string PermissionStatement(const std::string& table, const PermissionInfo& permission,
                                bool asGrantor) {
  const std::string column =
      permission.column.empty() ? "" : " (" + Quoted(permission.column) + ")";
  return sql::Format("%s %s%s On %s To %s%s%s", permission.state == 'D' ? "Deny" : "Grant",
                     permission.permission, column, QualifiedTable(table),
                     Quoted(permission.grantee),
                     permission.state == 'W' ? " With Grant Option" : "",
                     asGrantor ? " As " + Quoted(permission.grantor) : std::string());
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
      sql::UnicodeLiteral(property.name), sql::UnicodeLiteral(property.value),
      sql::UnicodeLiteral(table));
  if (!property.column.empty()) {
    statement += ", @level2type=N'COLUMN', @level2name=" + sql::UnicodeLiteral(property.column);
  }
  return statement;
}

std::string TriggerStatement(const std::string& table, const TriggerInfo& trigger) {
  const std::string name = "[dbo]." + Quoted(trigger.name);
  const std::string create = "Exec(" + sql::UnicodeLiteral(trigger.definition) + ")";
  const std::string exists = "If Object_ID(" + sql::UnicodeLiteral(name) + ",N'TR') Is Null ";
  if (!trigger.disabled && trigger.order.empty()) return exists + create;
  // Its order only where the trigger itself was made here: the application's
  // own namesake keeps whatever order it was given.
  std::string body = create;
  for (const TriggerOrder& order : trigger.order) {
    body += sql::Format(" Exec sys.sp_settriggerorder @triggername=%s, @order=N'%s', @stmttype=%s",
                        sql::UnicodeLiteral(name), order.first ? "First" : "Last",
                        sql::UnicodeLiteral(order.statement));
  }
  if (trigger.disabled) {
    body += " Exec(" +
            sql::UnicodeLiteral("Disable Trigger " + name + " On " + QualifiedTable(table)) + ")";
  }
  return exists + "Begin " + body + " End";
}

std::string RefreshStatement(const ReaderInfo& reader) {
  return sql::Format("Exec %s %s",
                     reader.function ? "sys.sp_refreshsqlmodule" : "sys.sp_refreshview",
                     sql::UnicodeLiteral(Quoted(reader.schema) + "." + Quoted(reader.name)));
}

std::string ReaderName(const ReaderInfo& reader) {
  return reader.schema + "." + reader.name;
}

std::vector<std::string> TableOptionStatements(const TableDependents& dependents) {
  std::vector<std::string> statements;
  const std::string table = QualifiedTable(dependents.table);
  // Compressed first: rebuilding a heap rebuilds its indexes too, and fewer
  // stand on it now than after the carried ones.
  if (dependents.dataCompression == 1 || dependents.dataCompression == 2) {
    statements.push_back(sql::Format("Alter Table %s Rebuild With (Data_Compression = %s)", table,
                                     dependents.dataCompression == 1 ? "Row" : "Page"));
  }
  if (dependents.lockEscalation == 1 || dependents.lockEscalation == 2) {
    statements.push_back(sql::Format("Alter Table %s Set (Lock_Escalation = %s)", table,
                                     dependents.lockEscalation == 1 ? "Disable" : "Auto"));
  }
  return statements;
}

std::string TriggerExistsQuery(const TriggerInfo& trigger) {
  return "Select Object_ID(" + sql::UnicodeLiteral("[dbo]." + Quoted(trigger.name)) + ",N'TR')";
}

}  // namespace slotsync::rebuild
