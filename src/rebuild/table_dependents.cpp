#include "rebuild/table_dependents.h"

#include <algorithm>

#include "rebuild/dependent_statements.h"
#include "rebuild/module_text.h"
#include "rebuild/online_detail.h"
#include "rebuild/script_guards.h"
#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "sql/write_plan.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

std::string Quoted(const std::string& name) {
  return sql::QuotedName(name);
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

// The permissions in an order the server accepts them in: one given in its
// grantor's name waits for the grant that lets that grantor give it (the
// same permission WITH GRANT OPTION, or CONTROL, which implies every other,
// given to the grantor on this table). Otherwise the catalog's order stays;
// a cycle, which no catalog holds, keeps it too.
std::vector<const PermissionInfo*> GrantOrder(const std::vector<PermissionInfo>& permissions) {
  std::vector<const PermissionInfo*> pending, order;
  for (const PermissionInfo& permission : permissions) pending.push_back(&permission);
  const auto waits = [&](const PermissionInfo* item) {
    return !item->grantor.empty() &&
           std::any_of(pending.begin(), pending.end(), [&](const PermissionInfo* other) {
             return other != item && other->state != 'D' &&
                    text::EqualsIgnoringAsciiCase(other->grantee, item->grantor) &&
                    ((other->state == 'W' &&
                      text::EqualsIgnoringAsciiCase(other->permission, item->permission)) ||
                     text::EqualsIgnoringAsciiCase(other->permission, "CONTROL"));
           });
  };
  while (!pending.empty()) {
    auto next = std::find_if_not(pending.begin(), pending.end(), waits);
    if (next == pending.end()) next = pending.begin();
    order.push_back(*next);
    pending.erase(next);
  }
  return order;
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

class CarryPlanner {
 public:
  CarryPlanner(const TableDependents& d, const NewTableShape& shape, CarryScope scope)
      : d_(d), shape_(shape), scope_(scope) {
    carry_.table = d.table;
    carry_.runUser = d.runUser;
  }

  Carry Plan() {
    for (const std::string& obstacle : d_.obstacles) carry_.refusals.push_back(obstacle);
    // A grant the login cannot see would be lost without a word, and the
    // terminals would meet "permission denied" after the commit.
    if (d_.exists && d_.grantsHidden) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the login cannot see every permission on it (the catalog shows the permissions of "
          "other users and roles only with VIEW DEFINITION), so the rebuild could not give back "
          "the ones it cannot see; grant the login VIEW DEFINITION on the database (or run as a "
          "member of db_owner)",
          d_.table));
    }
    if (Everything()) {
      for (std::string& statement : TableOptionStatements(d_)) Add(std::move(statement));
    }
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
      for (const ForeignKeyInfo& item : d_.foreignKeys) Move(item, /*carried=*/false);
      const long long keys = Count(d_.foreignKeys), triggers = Count(d_.triggers);
      LoseAll(keys, text::TrPlural("%d foreign key of %s", "%d foreign keys of %s", keys, keys,
                                   d_.table));
      LoseAll(triggers, text::TrPlural("%d trigger of %s", "%d triggers of %s", triggers, triggers,
                                       d_.table));
    }
    for (const PermissionInfo* item : GrantOrder(d_.permissions)) PlanPermission(*item);
    // Not the table's own: whatever reads it must see its new columns, the
    // companions' readers too.
    for (const ReaderInfo& item : d_.readers) PlanRefresh(item);
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

  // `waitsFor` is the table whose lock the statement would wait for, when
  // it is not the carry's own.
  void Add(std::string text, std::string waitsFor = {}) {
    carry_.statements.push_back(
        {std::move(text), waitsFor.empty() ? d_.table : std::move(waitsFor)});
  }

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
    Add(sql::Format("Alter Table %s Add Constraint %s Default %s For %s", QualifiedTable(d_.table),
                    Quoted(item.name), item.definition, Quoted(item.column)));
    ++carry_.counts.constraints;
  }

  void PlanCheck(const CheckInfo& item) {
    if (!ColumnsRemain(text::TrFormat("check constraint %s on %s", item.name, d_.table),
                       NamesIn(item.definition))) {
      return;
    }
    if (!Sendable(item.outsideGbk, text::TrFormat("the check constraint %s", item.name))) return;
    // Checking the copied rows would call the function for each of them as
    // the run's login, whoever wrote it: they were checked when they went
    // into the old table, and only rows written from now on are checked.
    const bool unchecked = item.notTrusted || item.callsUserCode;
    Add(sql::Format("Alter Table %s%s Add Constraint %s Check %s%s", QualifiedTable(d_.table),
                    unchecked ? " With NoCheck" : "", Quoted(item.name),
                    item.notForReplication ? "Not For Replication " : "", item.definition));
    if (item.callsUserCode && !item.notTrusted) {
      carry_.lost.push_back(text::TrFormat(
          "the trust of check constraint %s on %s (it calls a function that is not built in, "
          "which the run would otherwise call for every copied row as its own login: carried "
          "With NoCheck, and rows written from now on are checked; to have the copied rows "
          "checked, run ALTER TABLE dbo.%s WITH CHECK CHECK CONSTRAINT %s as a user trusted "
          "to run that function)",
          item.name, d_.table, d_.table, item.name));
    }
    if (item.disabled) DisableConstraint(item.name);
    ++carry_.counts.constraints;
  }

  void DisableConstraint(const std::string& name) {
    Add(sql::Format("Alter Table %s NoCheck Constraint %s", QualifiedTable(d_.table),
                    Quoted(name)));
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
    Add(IndexStatement(d_.table, item));
    if (item.disabled) {
      Add(sql::Format("Alter Index %s On %s Disable", Quoted(item.name), QualifiedTable(d_.table)));
    }
    ++(item.uniqueConstraint ? carry_.counts.constraints : carry_.counts.indexes);
  }

  static std::vector<std::string> NamesInFilter(const IndexInfo& item) {
    return item.filter.empty() ? std::vector<std::string>() : NamesIn(item.filter);
  }

  void PlanForeignKey(const ForeignKeyInfo& item) { Move(item, CarriesKey(item)); }

  bool CarriesKey(const ForeignKeyInfo& item) {
    std::vector<std::string> columns;
    for (const auto& pair : item.columns) columns.push_back(pair.first);
    if (!ColumnsRemain(text::TrFormat("foreign key %s on %s", item.name, d_.table), columns)) {
      return false;
    }
    if (!Sendable(item.outsideGbk, text::TrFormat("the foreign key %s", item.name))) return false;
    if (!item.mayReference) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the login may not create the foreign key %s again, which needs REFERENCES on %s; "
          "grant it that right",
          d_.table, item.name, item.referencedTable));
      return false;
    }
    return true;
  }

  // Counted where the run makes it: after its commit.
  void Move(const ForeignKeyInfo& item, bool carried) {
    // A name the run cannot send could not be taken off either.
    if (item.outsideGbk) {
      if (!Everything()) Sendable(true, text::TrFormat("the foreign key %s", item.name));
      return;
    }
    carry_.keys.push_back(KeyMoveOf(d_.table, item, carried));
  }

  void PlanTrigger(const TriggerInfo& item) {
    // The capture of an online run, its own or one a stopped run left: it
    // goes with the old table and is never made on the new one.
    if (item.name == CaptureName(d_.table)) return;
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
    if (!KeepsItsIdentity(item)) return;
    carry_.triggers.push_back(item);
    ++carry_.counts.triggers;
  }

  // The trigger's definition is run again as it is, by the run's login.
  // Running as its caller or its owner it says so itself; one that runs as a
  // user must name that user, since EXECUTE AS SELF would make the run's
  // login the trigger's identity from then on.
  bool KeepsItsIdentity(const TriggerInfo& item) {
    carry_.sentAsRunUser = carry_.sentAsRunUser || item.executeAsRunUser;
    if (item.executeAs.empty() || item.executeAsRunUser) return true;
    const ExecuteAsClause clause = ExecuteAsOf(item.definition);
    if (clause.kind != ExecuteAsClause::Kind::kNamed ||
        !text::EqualsIgnoringAsciiCase(clause.principal, item.executeAs)) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the trigger %s runs as %s without naming that user (EXECUTE AS SELF): created "
          "again by the run it would run as the run's login; alter it to WITH EXECUTE AS '%s' "
          "(or OWNER) before the run",
          d_.table, item.name, item.executeAs, item.executeAs));
      return false;
    }
    if (!item.mayImpersonate) {
      carry_.refusals.push_back(text::TrFormat(
          "%s: the login may not create the trigger %s again, which runs as %s: that needs "
          "IMPERSONATE on the user %s; grant it that right (or run as a member of db_owner)",
          d_.table, item.name, item.executeAs, item.executeAs));
      return false;
    }
    return true;
  }

  void PlanPermission(const PermissionInfo& item) {
    if (!item.column.empty() && !ColumnsRemain(PermissionText(d_.table, item), {item.column}))
      return;
    if (!Sendable(item.outsideGbk, PermissionText(d_.table, item))) return;
    // Given in its grantor's name, a permission stays in the grantor's
    // chain: a later REVOKE ... CASCADE by that grantor still reaches it.
    const bool asGrantor = !item.grantor.empty() && item.mayGrantAs;
    if (!asGrantor && !d_.mayGrant) {
      carry_.refusals.push_back(text::TrFormat(
          "the login may not give back %s, which the rebuild would otherwise lose; grant the "
          "login CONTROL on dbo.%s (or run as a member of db_owner)",
          PermissionText(d_.table, item), d_.table));
      return;
    }
    Add(PermissionStatement(d_.table, item, asGrantor));
    carry_.sentAsRunUser = carry_.sentAsRunUser || !asGrantor;
    if (!item.grantor.empty() && !asGrantor) {
      carry_.lost.push_back(text::TrFormat(
          "the grantor %s of %s (the login may not give it in the name of %s, which needs "
          "IMPERSONATE on that user, ALTER on that role, or db_securityadmin; the run's login "
          "becomes its grantor)",
          item.grantor, PermissionText(d_.table, item), item.grantor));
    }
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
    Add(PropertyStatement(d_.table, item));
    ++carry_.counts.properties;
  }

  void PlanRefresh(const ReaderInfo& item) {
    const std::string name = ReaderName(item);
    if (!Sendable(item.outsideGbk, item.function ? text::TrFormat("the function %s", name)
                                                 : text::TrFormat("the view %s", name))) {
      return;
    }
    if (!item.mayAlter) {
      carry_.refusals.push_back(
          item.function
              ? text::TrFormat("%s: the function %s reads it and must be refreshed after the "
                               "rebuild (sp_refreshsqlmodule), which needs ALTER on it; grant the "
                               "login ALTER on %s (or run as a member of db_owner)",
                               d_.table, name, name)
              : text::TrFormat("%s: the view %s reads it and must be refreshed after the rebuild "
                               "(sp_refreshview), which needs ALTER on it; grant the login ALTER "
                               "on %s (or run as a member of db_owner)",
                               d_.table, name, name));
      return;
    }
    carry_.refreshes.push_back(item);
  }

  const TableDependents& d_;
  const NewTableShape& shape_;
  const CarryScope scope_;
  Carry carry_;
};

}  // namespace
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

std::string DependentsGuard(std::int32_t tableTag, const TableDependents& d) {
  const std::string id = "Object_ID(" + sql::UnicodeLiteral(d.table) + ")";
  const auto count = [&](const char* from, const char* where, std::size_t expected) {
    return sql::Format("(Select Count(*) From %s Where %s=%s%s)<>%d", from, where, id,
                       std::string_view(from) == "sys.indexes"
                           ? " And is_primary_key=0 And type In (1,2) And is_hypothetical=0"
                       : std::string_view(from) == "sys.database_permissions"
                           ? " And class=1 And state In ('G','W','D')"
                           : "",
                       static_cast<std::int32_t>(expected));
  };
  const std::string condition =
      count("sys.indexes", "object_id", d.indexes.size()) + " Or " +
      count("sys.check_constraints", "parent_object_id", d.checks.size()) + " Or " +
      count("sys.default_constraints", "parent_object_id", d.defaults.size()) + " Or " +
      // The script takes every foreign key off at its start (KeyMove).
      count("sys.foreign_keys", "parent_object_id", 0) + " Or " +
      count("sys.triggers", "parent_id", d.triggers.size()) + " Or " +
      count("sys.database_permissions", "major_id", d.permissions.size());
  return StopIf(
      condition,
      ChangedSincePlan(sql::Format(
          "TableTag %d: the indexes, constraints, triggers or grants of "  // not a message
          "%s are no longer those the plan saw",                           // not a message
          tableTag, d.table)));
}

Carry PlanCarry(const TableDependents& dependents, const NewTableShape& shape, CarryScope scope) {
  return CarryPlanner(dependents, shape, scope).Plan();
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
    plan.keys.insert(plan.keys.end(), carry.keys.begin(), carry.keys.end());
    for (const KeyMove& key : carry.keys) {
      if (key.carried) ++plan.carried.constraints;
      Flag(findings, tableTag,
           key.carried
               ? text::TrFormat(
                     "the foreign key %s of %s is taken off before the run's transaction and made "
                     "again after its commit (With NoCheck, then %s), so that %s is held only for "
                     "a moment each time; in between %s is without it",
                     key.name, carry.table,
                     key.checks ? text::Tr("checked against the rows") : text::Tr("not checked"),
                     key.referenced, carry.table)
               : text::TrFormat("the foreign key %s of %s is taken off before the run's "
                                "transaction, so that dropping the table does not hold %s",
                                key.name, carry.table, key.referenced),
           Severity::kNote);
    }
    if (carry.refreshes.empty()) continue;
    std::vector<std::string> names;
    for (const ReaderInfo& reader : carry.refreshes) names.push_back(ReaderName(reader));
    Flag(findings, tableTag,
         text::TrPlural("%s is read by %s, which is refreshed after the rebuild so that it sees "
                        "the new columns",
                        "%s is read by %s, which are refreshed after the rebuild so that they see "
                        "the new columns",
                        static_cast<long long>(names.size()), carry.table, Joined(names)),
         Severity::kNote);
  }
}

namespace {

// A lock wait that runs out names the table waited for, so that the run can
// ask who holds it.
void ExecuteWaitingFor(StatementRunner& statements, std::string text, const std::string& table) {
  try {
    statements.Execute(std::move(text));
  } catch (const sql::SqlError& failure) {
    if (failure.HasNativeError(kLockWaitRanOut)) throw TableLockedOut(failure, table);
    throw;
  }
}

// A reader that no longer compiles against the new columns (it names one
// the rebuild dropped) fails the run, named, before anything is committed.
void Refresh(StatementRunner& statements, const ReaderInfo& reader, const std::string& table) {
  const std::string name = ReaderName(reader);
  try {
    ExecuteWaitingFor(statements, RefreshStatement(reader), name);
  } catch (const TableLockedOut&) {
    throw;
  } catch (const sql::SqlError& failure) {
    throw failure.Prefixed(
        reader.function
            ? text::TrFormat("the function %s, which reads %s, could not be refreshed after the "
                             "rebuild; alter it to fit the new columns; the server said: ",
                             name, table)
            : text::TrFormat("the view %s, which reads %s, could not be refreshed after the "
                             "rebuild; alter it to fit the new columns; the server said: ",
                             name, table));
  }
}

}  // namespace

void CarryDependents(sql::SqlAccess& access, const std::vector<Carry>& carries,
                     const DependentsCarried& carried) {
  StatementRunner statements(access);
  CarriedCounts counts;
  std::vector<std::string> lost;
  for (const Carry& carry : carries) {
    // A script may be run by someone else: under another user these
    // statements would name that user as grantor or identity.
    if (sql::WritePlan* plan = sql::PlanOf(access);
        plan != nullptr && carry.sentAsRunUser && carry.runUser != 0) {
      plan->Record(RunUserGuard(carry.runUser), sql::PlannedStatement::Kind::kGuard);
    }
    for (const CarryStatement& statement : carry.statements) {
      ExecuteWaitingFor(statements, statement.text, statement.waitsFor);
    }
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
      ExecuteWaitingFor(statements, TriggerStatement(carry.table, trigger), carry.table);
    }
  }
  // After every table's own statements and carries: a reader of several of
  // the tables sees them all new.
  std::vector<std::string> refreshed;
  for (const Carry& carry : carries) {
    for (const ReaderInfo& reader : carry.refreshes) {
      const std::string name = ReaderName(reader);
      if (std::find(refreshed.begin(), refreshed.end(), name) != refreshed.end()) continue;
      refreshed.push_back(name);
      Refresh(statements, reader, carry.table);
    }
  }
  if (carried) carried(counts, lost);
}

}  // namespace slotsync::rebuild
