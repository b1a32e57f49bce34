#include "rebuild/column_compare.h"

#include <algorithm>
#include <optional>

#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
  return lower;
}

std::int32_t Number(std::string_view digits, std::int32_t fallback) {
  if (digits.empty() || digits.size() > 9) return fallback;
  std::int32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return fallback;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A new column's definition as the template gives it: "Decimal(12, 2) Collate X Not Null
// Default(0)". Words are folded to lower case; quoted defaults are passed over.
struct NewDefinition {
  std::string type;
  std::vector<std::string> arguments;
  bool notNull = false;
  std::string collation;  // empty: the database's default
};

NewDefinition ParseDefinition(std::string_view text) {
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else if (c == '(' || c == ')' || c == ',') {
      tokens.emplace_back(1, static_cast<char>(c));
      ++i;
    } else if (c == ' ') {
      ++i;
    } else {
      std::string word;
      while (i < text.size() && text[i] != ' ' && text[i] != '(' && text[i] != ')' &&
             text[i] != ',' && text[i] != '\'') {
        // A GBK character of an alias type's name: its trail byte is taken with it.
        const std::size_t length = static_cast<unsigned char>(text[i]) >= 0x80 ? 2 : 1;
        word += text.substr(i, length);
        i += length;
      }
      tokens.push_back(word);
    }
  }
  // Words compare in lower case; a collation's name keeps its own.
  std::vector<std::string> words;
  for (const std::string& token : tokens) words.push_back(Lower(token));
  NewDefinition definition;
  std::size_t at = 0;
  static constexpr std::string_view kContinuing[] = {"precision", "varying", "char",
                                                     "character", "varchar", "text"};
  while (at < words.size() && words[at] != "(" && words[at] != "collate" && words[at] != "null" &&
         words[at] != "not" && words[at] != "default" &&
         (definition.type.empty() || std::find(std::begin(kContinuing), std::end(kContinuing),
                                               words[at]) != std::end(kContinuing))) {
    definition.type += (definition.type.empty() ? "" : " ") + words[at++];
  }
  if (at < words.size() && words[at] == "(") {
    for (++at; at < words.size() && words[at] != ")"; ++at) {
      if (words[at] != ",") definition.arguments.push_back(words[at]);
    }
  }
  for (; at < words.size(); ++at) {
    if (words[at] == "collate" && at + 1 < words.size()) definition.collation = tokens[at + 1];
    if (words[at] == "not" && at + 1 < words.size() && words[at + 1] == "null") {
      definition.notNull = true;
    }
  }
  static const std::pair<std::string_view, std::string_view> kSynonyms[] = {
      {"integer", "int"},
      {"dec", "decimal"},
      {"double precision", "float"},  // not a message
      {"character", "char"},
      {"char varying", "varchar"},                 // not a message
      {"character varying", "varchar"},            // not a message
      {"national char", "nchar"},                  // not a message
      {"national character", "nchar"},             // not a message
      {"national char varying", "nvarchar"},       // not a message
      {"national character varying", "nvarchar"},  // not a message
      {"national text", "ntext"},                  // not a message
      {"rowversion", "timestamp"}};
  for (const auto& [synonym, type] : kSynonyms) {
    if (definition.type == synonym) definition.type = type;
  }
  return definition;
}

enum class Family { kExact, kApproximate, kText, kBinary, kDateTime, kOther };

// What a type holds, comparable between the old column and the new one.
struct Shape {
  Family family = Family::kOther;
  std::string type;
  // Exact numbers: integer types ranked bit 1 .. bigint 5, 0 for the others;
  // the integer digits a value may have, the digits every value of that many
  // digits fits in, and the digits after the point.
  std::int32_t rank = 0, need = 0, capacity = 0, scale = 0;
  std::int32_t digits = 0;    // approximate numbers: significant decimal digits
  bool national = false;      // text: Unicode
  std::int64_t bytes = 0;     // binary: the longest value, -1 unbounded
  std::int32_t fraction = 0;  // dates and times: digits of a second's fraction
};

Shape ShapeOf(std::string type, std::int32_t precision, std::int32_t scale, std::int64_t bytes) {
  if (type == "float" && precision > 0 && precision <= 24) type = "real";
  Shape shape;
  shape.type = type;
  struct Exact {
    std::string_view type;
    std::int32_t rank, need, capacity, scale;
  };
  static constexpr Exact kExact[] = {{"bit", 1, 1, 0, 0},       {"tinyint", 2, 3, 0, 0},
                                     {"smallint", 3, 5, 4, 0},  {"int", 4, 10, 9, 0},
                                     {"bigint", 5, 19, 18, 0},  {"money", 0, 15, 14, 4},
                                     {"smallmoney", 0, 6, 5, 4}};
  for (const Exact& exact : kExact) {
    if (type != exact.type) continue;
    shape.family = Family::kExact;
    shape.rank = exact.rank;
    shape.need = exact.need;
    shape.capacity = exact.capacity;
    shape.scale = exact.scale;
    return shape;
  }
  if (type == "decimal" || type == "numeric") {
    shape.family = Family::kExact;
    shape.need = shape.capacity = precision - scale;
    shape.scale = scale;
  } else if (type == "real" || type == "float") {
    shape.family = Family::kApproximate;
    shape.digits = type == "real" ? 7 : 15;
  } else if (type == "char" || type == "varchar" || type == "text" || type == "nchar" ||
             type == "nvarchar" || type == "ntext") {
    shape.family = Family::kText;
    shape.national = type.front() == 'n';
  } else if (type == "binary" || type == "varbinary" || type == "image" || type == "timestamp") {
    shape.family = Family::kBinary;
    shape.bytes = type == "image" ? -1 : type == "timestamp" ? 8 : bytes;
  } else if (type == "date" || type == "smalldatetime" || type == "datetime" ||
             type == "datetime2" || type == "time" || type == "datetimeoffset") {
    shape.family = Family::kDateTime;
    shape.fraction = type == "datetime"                            ? 3
                     : (type == "date" || type == "smalldatetime") ? 0
                                                                   : scale;
  }
  return shape;
}

Shape ShapeOf(const CatalogColumn& column) {
  return ShapeOf(Lower(column.type), column.precision, column.scale, column.maxLength);
}

Shape ShapeOf(const NewDefinition& definition) {
  const auto argument = [&](std::size_t i, std::int32_t fallback) {
    return i < definition.arguments.size() ? Number(definition.arguments[i], fallback) : fallback;
  };
  const std::string& type = definition.type;
  if (type == "decimal" || type == "numeric") {
    return ShapeOf(type, argument(0, 18), argument(1, 0), 0);
  }
  if (type == "float") return ShapeOf(type, argument(0, 53), 0, 0);
  if (type == "datetime2" || type == "time" || type == "datetimeoffset") {
    return ShapeOf(type, 0, argument(0, 7), 0);
  }
  const bool max = !definition.arguments.empty() && definition.arguments[0] == "max";
  return ShapeOf(type, 0, 0, max ? -1 : argument(0, 1));
}

// Why a copy from one shape into the other changes values; null when it
// does not, kCannotJudge when the rebuild cannot tell.
const char* const kCannotJudge = "";

const char* LossOf(const Shape& from, const Shape& to) {
  if (to.type == "timestamp") {
    return N_("the server writes no copied value into a timestamp (rowversion) column");
  }
  if (from.family != to.family) {
    if (from.family == Family::kExact && to.family == Family::kApproximate) {
      return from.need + from.scale <= to.digits
                 ? nullptr
                 : N_("numbers with more digits than the new type keeps would be rounded");
    }
    if (from.family == Family::kApproximate && to.family == Family::kExact) {
      return N_("approximate numbers would be rounded or cut to the new type");
    }
    return kCannotJudge;
  }
  switch (from.family) {
    case Family::kExact:
      if (from.scale > to.scale) return N_("their fractions would be rounded away");
      if (from.type == to.type && from.need <= to.need) return nullptr;
      if (from.rank > 0 && to.rank > 0) {
        return to.rank >= from.rank
                   ? nullptr
                   : N_("values with more digits than the new type holds would stop the copy");
      }
      if (to.rank == 1 || to.rank == 2 || from.need > to.capacity) {
        return N_("values with more digits than the new type holds would stop the copy");
      }
      return nullptr;
    case Family::kApproximate:
      return to.digits >= from.digits
                 ? nullptr
                 : N_("numbers with more digits than the new type keeps would be rounded");
    case Family::kBinary:
      return to.bytes < 0 || (from.bytes >= 0 && from.bytes <= to.bytes)
                 ? nullptr
                 : N_("longer binary values would stop the copy");
    case Family::kDateTime: {
      const auto any = [&](std::initializer_list<std::string_view> types) {
        return std::find(types.begin(), types.end(), from.type) != types.end();
      };
      bool kept = false;
      if (from.type == to.type) {
        kept = to.fraction >= from.fraction;
      } else if (to.type == "smalldatetime" || to.type == "datetime") {
        kept = any({"date", "smalldatetime"});
      } else if (to.type == "datetime2") {
        kept = any({"date", "smalldatetime"}) || (from.type == "datetime" && to.fraction >= 3);
      } else if (to.type == "datetimeoffset") {
        return kCannotJudge;
      }
      return kept ? nullptr : N_("its dates and times would be rounded or cut");
    }
    case Family::kText:  // lengths are measured by the plan; code pages below
      return nullptr;
    case Family::kOther:
      return from.type == to.type ? nullptr : kCannotJudge;
  }
  return kCannotJudge;
}

}  // namespace

std::string DefinitionText(const CatalogColumn& column) {
  if (column.computed) return "As " + column.formula;
  const std::string type = Lower(column.type);
  std::string text = column.declaredType.empty() ? column.type : column.declaredType;
  const bool alias = !text.empty() && Lower(text) != type;
  const auto length = [&](std::int32_t perCharacter) {
    return column.maxLength < 0 ? std::string("max")
                                : std::to_string(column.maxLength / perCharacter);
  };
  if (alias) {
    // An alias type says its own arguments.
  } else if (type == "char" || type == "varchar" || type == "binary" || type == "varbinary") {
    text += "(" + length(1) + ")";
  } else if (type == "nchar" || type == "nvarchar") {
    text += "(" + length(2) + ")";
  } else if (type == "decimal" || type == "numeric") {
    text += sql::Format("(%d,%d)", column.precision, column.scale);
  } else if (type == "datetime2" || type == "time" || type == "datetimeoffset") {
    text += sql::Format("(%d)", column.scale);
  }
  if (column.identity) text += " Identity(" + column.seed + "," + column.increment + ")";
  if (!column.collation.empty()) text += " Collate " + column.collation;
  if (column.sparse) text += " Sparse";
  if (column.rowGuid) text += " RowGuidCol";
  text += column.nullable ? " Null" : " Not Null";
  return text;
}

ColumnVerdict CompareColumn(const std::string& table, const CatalogColumn& old,
                            const ColumnDefinition& now, bool keyColumn,
                            const DefaultCollation& collation) {
  ColumnVerdict verdict;
  const NewDefinition definition = ParseDefinition(now.definition);
  const std::string oldText = DefinitionText(old);
  const std::string& name = old.name;
  if (old.computed) {
    verdict.lost.push_back(text::TrFormat(
        "the formula of the computed column %s.%s (%s): the new column %s holds the values it "
        "computed and computes nothing",
        table, name, old.formula, now.definition));
  }
  if (old.identity) {
    verdict.lost.push_back(text::TrFormat(
        "the identity of %s.%s (seed %s, increment %s, last value %s): the new column %s is no "
        "identity column; its values are copied as they are, and rows added later get none "
        "unless they give one",
        table, name, old.seed, old.increment, old.lastValue.empty() ? "-" : old.lastValue,
        now.definition));
  }
  if (old.sparse) verdict.lost.push_back(text::TrFormat("SPARSE of %s.%s", table, name));
  if (old.rowGuid) verdict.lost.push_back(text::TrFormat("ROWGUIDCOL of %s.%s", table, name));
  if (old.masked) {
    verdict.lost.push_back(text::TrFormat(
        "the data mask of %s.%s: users without UNMASK will see its values", table, name));
  }
  if (!old.nullable && !old.computed && !definition.notNull) {
    verdict.lost.push_back(text::TrFormat("Not Null of %s.%s: the new column %s takes NULLs", table,
                                          name, now.definition));
  }
  verdict.measureNulls = old.nullable && definition.notNull;
  if (definition.type.empty()) return verdict;

  const Shape from = ShapeOf(old);
  const Shape to = ShapeOf(definition);
  const char* loss = LossOf(from, to);
  const auto refuse = [&](const std::string& why) {
    verdict.refusals.push_back(
        text::TrFormat("%s.%s is %s and its new definition is %s: %s; the copy would change its "
                       "values, so nothing is rebuilt. Give it a new definition that holds every "
                       "value (S_Modify.FieldKind), or change the old column first",
                       table, name, oldText, now.definition, why));
  };
  if (loss == kCannotJudge) {
    verdict.notes.push_back(
        text::TrFormat("%s.%s is %s and its new definition is %s: the rebuild cannot judge "
                       "whether every value keeps its meaning; the server converts each value "
                       "and stops the copy at one it cannot convert",
                       table, name, oldText, now.definition));
  } else if (loss != nullptr) {
    refuse(text::Tr(loss));
  }
  if (from.family != Family::kText || to.family != Family::kText) return verdict;

  const std::string& newCollation =
      definition.collation.empty() ? collation.name : definition.collation;
  const bool collationChanges = !text::EqualsIgnoringAsciiCase(old.collation, newCollation);
  if (collationChanges && keyColumn) {
    refuse(
        text::TrFormat("the key column's collation would change from %s to %s, which compares "
                       "and sorts keys otherwise (keys distinct now may become equal)",
                       old.collation, newCollation));
  } else if (collationChanges) {
    verdict.lost.push_back(text::TrFormat("the collation %s of %s.%s: the new column has %s",
                                          old.collation, table, name, newCollation));
  }
  // Characters a code page lacks become "?" without a word; whether any
  // value holds one is counted, against the database's code page, when the
  // new definition names none.
  if (!to.national && (from.national || (collationChanges && old.codePage != collation.codePage))) {
    if (definition.collation.empty()) {
      verdict.measureText = true;
    } else {
      verdict.notes.push_back(text::TrFormat(
          "%s.%s is %s and its new definition is %s: the rebuild cannot judge whether every "
          "character is in the code page of %s; characters it lacks would become '?'",
          table, name, oldText, now.definition, definition.collation));
    }
  }
  return verdict;
}

std::string ColumnPropertiesQuery(const std::string& table) {
  // is_masked exists from SQL Server 2016 on. Unqualified in the subquery,
  // it is the subquery's own column where sys.columns has it and the outer
  // query's constant 0 where it does not, so one text serves every version.
  return sql::Format(
      "Select c.name,IsNull(Type_Name(c.system_type_id),Type_Name(c.user_type_id)),Type_Name("
      "c.user_type_id),c.max_length,c.precision,c.scale,Convert(Int,c.is_nullable),"
      "c.collation_name,IsNull(Convert(Int,CollationProperty(c.collation_name,'CodePage')),0),"
      "Convert(Int,c.is_identity),Convert(NVarchar(40),ic.seed_value),Convert(NVarchar(40),"
      "ic.increment_value),Convert(NVarchar(40),ic.last_value),Convert(Int,c.is_computed),"
      "cc.definition,Convert(Int,c.is_sparse),Convert(Int,c.is_rowguidcol),Convert(Int,(Select "
      "is_masked From sys.columns m Where m.object_id=c.object_id And m.column_id=c.column_id)),"
      "Convert(NVarchar(128),DatabasePropertyEx(Db_Name(),'Collation')),IsNull(Convert(Int,"
      "CollationProperty(Convert(NVarchar(128),DatabasePropertyEx(Db_Name(),'Collation')),"
      "'CodePage')),0) From (Select Convert(Bit,0) As is_masked) d Cross Join sys.columns c Left "
      "Join sys.identity_columns ic On ic.object_id=c.object_id And ic.column_id=c.column_id "
      "Left Join sys.computed_columns cc On cc.object_id=c.object_id And "
      "cc.column_id=c.column_id Where c.object_id=Object_ID(%s) Order By c.column_id",
      sql::UnicodeLiteral(table));
}

std::vector<std::string> CheckColumnProperties(sql::SqlAccess& access, Findings* findings,
                                               std::int32_t tableTag, const std::string& table,
                                               const std::string& keyColumn,
                                               const std::vector<std::string>& copied,
                                               const std::vector<ColumnDefinition>& columns) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(ColumnPropertiesQuery(table));
  query.Open();
  struct Measured {
    std::string name;
    std::string definition;
    bool nulls = false;
    bool text = false;
  };
  std::vector<Measured> measured;
  std::vector<std::string> lost;
  DefaultCollation collation;
  for (; !query.End(); query.Next()) {
    CatalogColumn old;
    old.name = query.Field(0).AsString();
    const auto isCopied = std::any_of(copied.begin(), copied.end(), [&](const std::string& name) {
      return text::EqualsIgnoringAsciiCase(name, old.name);
    });
    const auto now = std::find_if(columns.begin(), columns.end(), [&](const auto& c) {
      return text::EqualsIgnoringAsciiCase(c.name, old.name);
    });
    if (!isCopied || now == columns.end()) continue;
    const auto flag = [&](std::size_t i) { return query.Field(i).AsInteger() != 0; };
    old.type = query.Field(1).AsString();
    old.declaredType = query.Field(2).AsString();
    old.maxLength = query.Field(3).AsInteger();
    old.precision = query.Field(4).AsInteger();
    old.scale = query.Field(5).AsInteger();
    old.nullable = flag(6);
    old.collation = query.Field(7).AsString();
    old.codePage = query.Field(8).AsInteger();
    old.identity = flag(9);
    old.seed = query.Field(10).AsString();
    old.increment = query.Field(11).AsString();
    old.lastValue = query.Field(12).AsString();
    old.computed = flag(13);
    old.formula = query.Field(14).AsString();
    old.sparse = flag(15);
    old.rowGuid = flag(16);
    old.masked = flag(17);
    collation = {query.Field(18).AsString(), query.Field(19).AsInteger()};
    const ColumnVerdict verdict = CompareColumn(
        table, old, *now, text::EqualsIgnoringAsciiCase(old.name, keyColumn), collation);
    for (const std::string& refusal : verdict.refusals) Flag(findings, tableTag, refusal);
    if (findings != nullptr) {
      for (const std::string& note : verdict.notes) {
        Flag(findings, tableTag, note, Severity::kNote);
      }
    }
    lost.insert(lost.end(), verdict.lost.begin(), verdict.lost.end());
    if (verdict.measureNulls || verdict.measureText) {
      measured.push_back({old.name, now->definition, verdict.measureNulls, verdict.measureText});
    }
  }
  if (findings == nullptr) return lost;
  auto& planLost = findings->Current().dependentsLost;
  planLost.insert(planLost.end(), lost.begin(), lost.end());
  if (measured.empty()) return lost;
  // One scan: the NULLs a Not Null column would refuse, the values whose
  // characters the database's code page lacks.
  std::string select;
  for (const Measured& m : measured) {
    const std::string column = sql::QuotedName(m.name);
    const std::string count =
        m.nulls ? sql::Format("Sum(Case When %s Is Null Then 1 Else 0 End)", column) : "0";
    // The value through the database's code page and back, compared byte
    // for byte.
    const char* const kChanged =
        "Sum(Case When Convert(VarBinary(max),Convert(NVarchar(max),Convert(VarChar(max),"
        "Convert(NVarchar(max),%s) Collate "  // not a message
        "database_default)))<>Convert(VarBinary(max),Convert(NVarchar(max),%s)) Then 1 Else 0 "
        "End)";
    const std::string changed = m.text ? sql::Format(kChanged, column, column) : "0";
    select += (select.empty() ? "" : ",") + count + "," + changed;
  }
  query.SetText(sql::Format("Select %s From %s", select, table));
  query.Open();
  if (query.Empty()) return lost;
  for (std::size_t i = 0; i < measured.size(); ++i) {
    const std::int32_t nulls = query.Field(2 * i).AsInteger();
    const std::int32_t changed = query.Field(2 * i + 1).AsInteger();
    if (nulls > 0) {
      Flag(findings, tableTag,
           text::TrFormat("%s.%s holds %d NULLs, which its new definition %s refuses: the copy "
                          "would fail; fill them in, or let the new definition take NULLs",
                          table, measured[i].name, nulls, measured[i].definition));
    }
    if (changed > 0) {
      Flag(
          findings, tableTag,
          text::TrFormat("%s.%s holds %d values with characters that its new definition %s "
                         "cannot hold in the database's code page (%s): the copy would turn "
                         "them into '?'; make the new column Unicode (NVarchar), or change "
                         "those values",
                         table, measured[i].name, changed, measured[i].definition, collation.name));
    }
  }
  return lost;
}

void CheckValuesFit(sql::SqlAccess& access, Findings* findings, std::int32_t tableTag,
                    const std::string& table, const std::vector<ColumnDefinition>& columns) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(
      sql::Format("Select Name,Length,Type_Name(xusertype) As TypeName From sysColumns Where "
                  "ID=Object_ID(%s) order by ColOrder",
                  sql::UnicodeLiteral(table)));
  query.Open();
  struct Measured {
    std::string name;
    TextCapacity capacity;
  };
  std::vector<Measured> measured;
  for (; !query.End(); query.Next()) {
    const std::string name = query.Field(0).AsString();
    const auto column = std::find_if(columns.begin(), columns.end(), [&](const auto& c) {
      return text::EqualsIgnoringAsciiCase(c.name, name);
    });
    if (column == columns.end()) continue;
    const auto capacity = TextCapacityOf(column->definition);
    if (!capacity) continue;
    const std::int32_t length = query.Field(1).AsInteger();
    const std::string type = query.Field(2).AsString();
    const bool unbounded = length < 0 || text::EqualsIgnoringAsciiCase(type, "text") ||
                           text::EqualsIgnoringAsciiCase(type, "ntext");
    if (unbounded || length > capacity->bytes) measured.push_back({name, *capacity});
  }
  if (measured.empty()) return;
  std::string select;
  for (const Measured& m : measured) {
    if (!select.empty()) select += ',';
    select += sql::Format(m.capacity.national ? "Max(DataLength(RTrim(Convert(NVarchar(4000),%s))))"
                                              : "Max(DataLength(RTrim(Convert(Varchar(8000),%s))))",
                          sql::QuotedName(m.name));
  }
  query.SetText(sql::Format("Select %s From %s", select, table));
  query.Open();
  if (query.Empty()) return;
  for (std::size_t i = 0; i < measured.size(); ++i) {
    if (query.Field(i).IsNull()) continue;
    const std::int64_t longest = query.Field(i).AsInteger();
    if (longest <= measured[i].capacity.bytes) continue;
    Flag(findings, tableTag,
         text::TrFormat("%s.%s holds values of up to %d bytes, longer than its new column (%d "
                        "bytes): the copy would fail; shorten those values or widen the column",
                        table, measured[i].name, static_cast<std::int32_t>(longest),
                        static_cast<std::int32_t>(measured[i].capacity.bytes)));
  }
}

}  // namespace slotsync::rebuild
