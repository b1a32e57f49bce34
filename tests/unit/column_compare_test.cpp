#include "rebuild/column_compare.h"

#include <gtest/gtest.h>

#include <functional>

namespace slotsync::rebuild {
namespace {

CatalogColumn Old(std::string type, std::int32_t maxLength, std::int32_t precision = 0,
                  std::int32_t scale = 0, std::string collation = {}) {
  CatalogColumn column;
  column.name = "C";
  column.type = column.declaredType = std::move(type);
  column.maxLength = maxLength;
  column.precision = precision;
  column.scale = scale;
  column.codePage = collation.empty() ? 0 : collation.starts_with("Latin1") ? 1252 : 936;
  column.collation = std::move(collation);
  return column;
}

const DefaultCollation kDatabase{"Chinese_PRC_CI_AS", 936};

// Each pair: refused with its reason, noted, passed, or measured by the plan.
TEST(CompareColumn, JudgesEachPairOfDefinitions) {
  struct Case {
    CatalogColumn old;
    std::string now;
    std::string refused;  // part of the reason; empty: not refused
    bool noted = false;
    bool measureText = false;
    bool key = false;
  };
  const std::string rounded = "their fractions would be rounded away";
  const std::string digits = "values with more digits than the new type holds would stop the copy";
  const std::string times = "its dates and times would be rounded or cut";
  const Case cases[] = {
      {Old("decimal", 9, 12, 2), "Int Null", rounded},
      {Old("money", 8, 19, 4), "Decimal(18,2) Null", rounded},
      {Old("decimal", 9, 12, 2), "Decimal(10, 2) Null", digits},
      {Old("int", 4, 10), "SmallInt Null", digits},
      {Old("float", 8, 53), "Decimal(38,10) Null", "approximate numbers would be rounded"},
      {Old("float", 8, 53), "Real Null", "more digits than the new type keeps"},
      {Old("decimal", 9, 18, 2), "Float(24) Null", "more digits than the new type keeps"},
      {Old("datetime", 8, 23, 3), "SmallDateTime Null", times},
      {Old("datetime2", 8, 27, 7), "DateTime2(3) Null", times},
      {Old("varbinary", 16), "VarBinary(8) Null", "longer binary values"},
      {Old("varbinary", 8), "Timestamp Null", "timestamp (rowversion)"},
      {Old("varchar", 40, 0, 0, "Latin1_General_CI_AS"), "Varchar(40) Not Null Default NewID()",
       "the key column's collation would change from Latin1_General_CI_AS to Chinese_PRC_CI_AS",
       false, true, true},
      // Passed: the same type, or a wider one.
      {Old("int", 4, 10), "Integer Null Default(0)", ""},
      {Old("tinyint", 1, 3), "Int Null", ""},
      {Old("bit", 1, 1), "bit Not Null Default(0)", ""},
      {Old("decimal", 9, 12, 2), "Money Null", ""},
      {Old("smallmoney", 4, 10, 4), "Decimal(12,4) Null", ""},
      {Old("real", 4, 24), "Double Precision Null", ""},
      {Old("datetime", 8, 23, 3), "DateTime2(3) Null", ""},
      {Old("varchar", 20, 0, 0, "Chinese_PRC_CI_AS"), "Varchar(20) Null", ""},
      {Old("varchar", 20, 0, 0, "Chinese_PRC_CI_AS"), "NVarchar(20) Null", ""},
      // Noted: the rebuild cannot judge these.
      {Old("xml", -1), "NVarchar(max) Null", "", true},
      {Old("int", 4, 10), "Varchar(20) Null", "", true},
      {Old("nvarchar", 40, 0, 0, "Chinese_PRC_CI_AS"), "Varchar(20) Collate Latin1_General_CI_AS",
       "", true},
      // Counted by the plan: characters the database's code page may lack.
      {Old("nvarchar", 40, 0, 0, "Chinese_PRC_CI_AS"), "Varchar(20) Null", "", false, true},
      {Old("varchar", 20, 0, 0, "Latin1_General_CI_AS"), "Varchar(20) Null", "", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.old.type + " into " + c.now);
    const ColumnVerdict verdict = CompareColumn("T", c.old, {"C", c.now}, c.key, kDatabase);
    if (c.refused.empty()) {
      EXPECT_TRUE(verdict.refusals.empty()) << verdict.refusals.front();
    } else {
      ASSERT_EQ(verdict.refusals.size(), 1u);
      EXPECT_NE(verdict.refusals[0].find(c.refused), std::string::npos) << verdict.refusals[0];
    }
    EXPECT_EQ(!verdict.notes.empty(), c.noted);
    EXPECT_EQ(verdict.measureText, c.measureText);
  }
}

// What the old column is and the new definition does not give is named.
TEST(CompareColumn, NamesThePropertiesTheNewColumnLoses) {
  const struct Case {
    std::function<void(CatalogColumn&)> change;
    std::string now;
    std::vector<std::string> lost;
    bool measureNulls = false;
  } cases[] = {
      {[](CatalogColumn& c) {
         c.computed = true;
         c.formula = "([Price]*(2))";
       },
       "Money Null",
       {"the formula of the computed column T.C (([Price]*(2))): the new column Money Null holds "
        "the values it computed and computes nothing"}},
      {[](CatalogColumn& c) { c.sparse = c.rowGuid = c.masked = true; },
       "Money Null",
       {"SPARSE of T.C", "ROWGUIDCOL of T.C",
        "the data mask of T.C: users without UNMASK will see its values"}},
      {[](CatalogColumn& c) { c.nullable = false; },
       "Money Null",
       {"Not Null of T.C: the new column Money Null takes NULLs"}},
      {[](CatalogColumn& c) { c.nullable = true; }, "bit Not Null Default(0)", {}, true},
      {[](CatalogColumn& c) {
         c.type = c.declaredType = "varchar";
         c.collation = "Chinese_PRC_CS_AS";
         c.codePage = 936;
       },
       "Varchar(20) Null",
       {"the collation Chinese_PRC_CS_AS of T.C: the new column has Chinese_PRC_CI_AS"}},
  };
  for (const Case& c : cases) {
    CatalogColumn old = Old("money", 8, 19, 4);
    c.change(old);
    const ColumnVerdict verdict = CompareColumn("T", old, {"C", c.now}, false, kDatabase);
    EXPECT_EQ(verdict.lost, c.lost) << c.now;
    EXPECT_EQ(verdict.measureNulls, c.measureNulls) << c.now;
  }
  CatalogColumn identity = Old("int", 4, 10);
  identity.identity = true;
  identity.seed = "100";
  identity.increment = "1";
  identity.nullable = false;
  EXPECT_EQ(DefinitionText(identity), "int Identity(100,1) Not Null");
  EXPECT_EQ(DefinitionText(Old("nvarchar", 40, 0, 0, "Chinese_PRC_CI_AS")),
            "nvarchar(20) Collate Chinese_PRC_CI_AS Null");
}

}  // namespace
}  // namespace slotsync::rebuild
