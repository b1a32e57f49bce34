#include "rebuild/terminal_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/dictionary_guard.h"
#include "rebuild/table_dependents.h"
#include "run_fixture.h"
#include "scenarios.h"
#include "sql/sql_error.h"

namespace slotsync::testing {
namespace {

// The templates of the two worked examples, without and with the report
// content types T1 and T2.
const std::string kExampleTemplate =
    "Create Table %s(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[F] Int Null "
    ",[x_1] Integer Null Default(0),[x_2] Integer Null Default(0),[V] Money Null Default(0))";
const std::string kExampleTypesTemplate =
    "Create Table %s(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[F] Int Null "
    ",[T1_x_1] Integer Null Default(0),[T1_x_2] Integer Null Default(0),[T1_V] Money Null "
    "Default(0),[T2_x_1] Integer Null Default(0),[T2_x_2] Integer Null Default(0),[T2_V] Money "
    "Null Default(0))";

// The default dictionary with one change.
template <typename Change>
TerminalScenario With(Change change) {
  TerminalScenario d;
  change(d);
  return d;
}

// The queries a rebuild of `tag` makes before its first statement, with N
// read `slotReads` times, the last one what TermCount holds beyond its columns.
std::vector<std::string> Reads(std::int32_t tag, int slotReads) {
  const std::string number = std::to_string(tag);
  std::vector<std::string> reads = {
      "OPEN Select * from S_Modify Where TableTag=" + number,
      "OPEN " + kTypesSql + number,
      "OPEN Select FieldName From DataDictionary where TableTag=" + number,
      "OPEN Select TableName From DataDictionary where TableTag=" + number,
  };
  for (int i = 0; i < slotReads; ++i) reads.push_back("OPEN " + kSlotCountSql);
  reads.push_back("OPEN " + rebuild::DependentsQuery("TermCount"));
  return reads;
}

// The whole sequence for the table TermCount with key K, the create made
// from `createTemplate`.
std::vector<std::string> Sequence(std::int32_t tag, int slotReads, std::string createTemplate) {
  std::vector<std::string> sequence = Reads(tag, slotReads);
  createTemplate.replace(createTemplate.find("%s"), 2, "TermCount");
  sequence.insert(sequence.end(),
                  {
                      "EXEC Drop Table TermCount",
                      "EXEC " + createTemplate,
                      "EXEC Alter Table [TermCount] With NoCheck Add Constraint [PK_TermCount] "
                      "Primary Key NonClustered ( [K] ) On [Primary]",
                      "EXEC CREATE  INDEX [IX_TermCount_Terminal] ON [dbo].[TermCount]"
                      "([TerminalName]) ON [PRIMARY] ",
                      "EXEC Update S_Modify Set Modified=0 Where TableTag=" + std::to_string(tag),
                  });
  return sequence;
}

class TerminalTableTest : public ::testing::Test {
 protected:
  TerminalTableTest()
      : connection_(std::string(sql::kSizeConnectionName),
                    std::make_unique<ScriptedConnection>(script_)) {
    access_.Add(connection_);
  }
  ~TerminalTableTest() override { access_.Remove(connection_); }

  void ScriptDictionary(const TerminalScenario& d) { ScriptTerminalDictionary(script_, d); }

  void Rebuild(std::int32_t tag) { rebuild::RebuildTerminalTables(access_, tag); }

  bool AnythingExecuted() const {
    for (const std::string& entry : script_.Statements()) {
      if (entry.starts_with("EXEC ")) return true;
    }
    return false;
  }

  Script script_;
  sql::SqlConnection connection_;
  sql::SqlAccess access_;
};

TEST_F(TerminalTableTest, WorkedExampleWithoutReportTypes) {
  ScriptDictionary({});
  Rebuild(101);
  EXPECT_EQ(script_.Statements(),
            (std::vector<std::string>{
                "OPEN Select * from S_Modify Where TableTag=101",
                "OPEN Select a.* From DataDictReportContent a,DataDictionary b Where "
                "a.TableID=b.TableID and b.TableTag=101",
                "OPEN Select FieldName From DataDictionary where TableTag=101",
                "OPEN Select TableName From DataDictionary where TableTag=101",
                "OPEN " + kSlotCountSql,
                "OPEN " + rebuild::DependentsQuery("TermCount"),
                "EXEC Drop Table TermCount",
                "EXEC Create Table TermCount(K Int Identity(1,1) Not Null,TerminalName "
                "Varchar(40) Null ,[F] Int Null ,[x_1] Integer Null Default(0),[x_2] Integer Null "
                "Default(0),[V] Money Null Default(0))",
                "EXEC Alter Table [TermCount] With NoCheck Add Constraint [PK_TermCount] Primary "
                "Key NonClustered ( [K] ) On [Primary]",
                "EXEC CREATE  INDEX [IX_TermCount_Terminal] ON [dbo].[TermCount]([TerminalName]) "
                "ON [PRIMARY] ",
                "EXEC Update S_Modify Set Modified=0 Where TableTag=101",
            }));
}

TEST_F(TerminalTableTest, WorkedExampleWithReportTypesReadsNForEachType) {
  TerminalScenario d;
  d.types = {"T1", "T2"};
  ScriptDictionary(d);
  Rebuild(101);
  EXPECT_EQ(script_.Statements(), Sequence(101, 2, kExampleTypesTemplate));
}

TEST_F(TerminalTableTest, BuildsTheColumnsTheDictionaryDescribes) {
  const std::string lead =
      "Create Table %s(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[F] Int Null ";
  const std::string plainGroups =
      ",[x_1] Integer Null Default(0),[x_2] Integer Null Default(0),[V] Money Null Default(0)";
  struct Case {
    const char* what;
    TerminalScenario dictionary;
    int slotReads;
    std::string createTemplate;
  };
  const Case cases[] = {
      {"102: plain groups, then its own closing text",
       With([](TerminalScenario& d) { d.tag = 102; }), 1,
       lead + plainGroups +
           ",Memo Varchar(100) Null ,CountFlag Bit Default 0,IDValue Varchar(50) Null)"},
      {"111 closing text", With([](TerminalScenario& d) { d.tag = 111; }), 1,
       lead + plainGroups + ",CountFlag Bit Default 0)"},
      {"112 closing text", With([](TerminalScenario& d) { d.tag = 112; }), 1,
       lead + plainGroups + ",CountFlag Bit Default 0)"},
      {"113 closing text", With([](TerminalScenario& d) { d.tag = 113; }), 1,
       lead + plainGroups + ",CountFlag Bit Default 0,IDValue Varchar(50) Null)"},
      {"114 closing text", With([](TerminalScenario& d) { d.tag = 114; }), 1,
       lead + plainGroups + ",CountFlag Bit Default 0,IDValue Varchar(50) Null)"},
      {"149, the last of the plain-group tags", With([](TerminalScenario& d) { d.tag = 149; }), 1,
       lead + plainGroups + ")"},
      {"outside the plain-group tags, no types: no groups, CreateField ignored, N not read",
       With([](TerminalScenario& d) { d.tag = 150; }), 0, lead + ")"},
      {"outside the plain-group tags, with types: the same per-type groups",
       With([](TerminalScenario& d) {
         d.tag = 300;
         d.types = {"T1"};
       }),
       1,
       lead +
           ",[T1_x_1] Integer Null Default(0),[T1_x_2] Integer Null Default(0),[T1_V] Money Null "
           "Default(0))"},
      {"N = 0: no size columns, no extra comma", With([](TerminalScenario& d) { d.slotCount = 0; }),
       1, lead + ",[V] Money Null Default(0))"},
      {"N = 0 with types", With([](TerminalScenario& d) {
         d.slotCount = 0;
         d.types = {"T1", "T2"};
       }),
       2, lead + ",[T1_V] Money Null Default(0),[T2_V] Money Null Default(0))"},
      {"empty ColumnPairList: CreateField without ';'",
       With([](TerminalScenario& d) { d.createField = "V"; }), 1,
       lead + ",[x_1] Integer Null Default(0),[x_2] Integer Null Default(0))"},
      {"no fixed columns", With([](TerminalScenario& d) { d.fixedField = ""; }), 1,
       "Create Table %s(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null " + plainGroups +
           ")"},
      {"fewer kinds than fixed names: the surplus gets an empty kind",
       With([](TerminalScenario& d) { d.fixedField = "F;G;H;"; }), 1,
       lead + ",[G]  Null ,[H]  Null " + plainGroups + ")"},
      {"names equal but for case both take the first kind", With([](TerminalScenario& d) {
         d.createField = "Qty;QTY;";
         d.fieldKind = "Int;Money;";
       }),
       1,
       lead + ",[x_1] Integer Null Default(0),[x_2] Integer Null Default(0),[Qty] Int Null "
              "Default(0),[QTY] Int Null Default(0))"},
      {"a duplicated type is repeated, not merged", With([](TerminalScenario& d) {
         d.slotCount = 1;
         d.types = {"T1", "T1"};
       }),
       2,
       lead +
           ",[T1_x_1] Integer Null Default(0),[T1_V] Money Null Default(0),[T1_x_1] Integer Null "
           "Default(0),[T1_V] Money Null Default(0))"},
      {"a type read as empty text still prefixes its groups", With([](TerminalScenario& d) {
         d.slotCount = 1;
         d.types = {""};
       }),
       1, lead + ",[_x_1] Integer Null Default(0),[_V] Money Null Default(0))"},
      {"GBK texts pass the 16-bit template unchanged", With([](TerminalScenario& d) {
         d.slotCount = 1;
         d.types = {"\xC1\xE3\xCA\xDB"};
         d.fieldKind = "Varchar(20);";
       }),
       1,
       lead +
           ",[\xC1\xE3\xCA\xDB_x_1] Integer Null Default(0),[\xC1\xE3\xCA\xDB_V] Varchar(20) Null "
           "Default(0))"},
  };
  for (const Case& c : cases) {
    script_ = Script();
    ScriptDictionary(c.dictionary);
    Rebuild(c.dictionary.tag);
    EXPECT_EQ(script_.Statements(), Sequence(c.dictionary.tag, c.slotReads, c.createTemplate))
        << c.what;
  }
}

TEST_F(TerminalTableTest, DropAndCreateUseTheSModifyNameKeyAndIndexTheDictionaryName) {
  TerminalScenario d;
  d.tag = 200;
  d.tableName = "dbo.TermCount_New";
  d.dictTableName = "TermCount";
  ScriptDictionary(d);
  Rebuild(200);
  const std::vector<std::string> statements = script_.Statements();
  ASSERT_EQ(statements.size(), 10U);
  EXPECT_EQ(std::vector<std::string>(statements.begin() + 5, statements.end()),
            (std::vector<std::string>{
                "EXEC Drop Table dbo.TermCount_New",
                "EXEC Create Table dbo.TermCount_New(K Int Identity(1,1) Not Null,TerminalName "
                "Varchar(40) Null ,[F] Int Null )",
                "EXEC Alter Table [TermCount] With NoCheck Add Constraint [PK_TermCount] Primary "
                "Key NonClustered ( [K] ) On [Primary]",
                "EXEC CREATE  INDEX [IX_TermCount_Terminal] ON [dbo].[TermCount]([TerminalName]) "
                "ON [PRIMARY] ",
                "EXEC Update S_Modify Set Modified=0 Where TableTag=200",
            }));
}

// A per-terminal table gets its permissions and indexes back after its own
// index; the key and the index the rebuild makes itself are not made twice.
TEST_F(TerminalTableTest, ItsPermissionsAndIndexesAreCarried) {
  TerminalScenario d;
  d.dependents = {{"I", "IX_TermCount_Terminal", "NONE", "2", "0", "0", std::nullopt, "1"},
                  {"IC", "TerminalName", std::nullopt, "2", "0", "1", std::nullopt, "1"},
                  {"I", "IX_F", "NONE", "3", "4", "0", std::nullopt, "1"},
                  {"IC", "F", std::nullopt, "3", "0", "1", std::nullopt, "1"},
                  {"P", "INSERT", "Terminals", "0", "71", "0", std::nullopt, "1"}};
  ScriptDictionary(d);
  Rebuild(101);
  std::vector<std::string> expected = Sequence(101, 1, kExampleTemplate);
  expected.insert(expected.end() - 1,
                  {"EXEC Create Clustered Index [IX_F] On [dbo].[TermCount] ([F])",
                   "EXEC Grant INSERT On [dbo].[TermCount] To [Terminals]"});
  EXPECT_EQ(script_.Statements(), expected);
}

// A drop that failed because the table is gone is passed over; one that left
// the table in place stops the rebuild with the drop's own error, before the
// create that would fail less clearly. (A lock wait: see the whole run.)
TEST_F(TerminalTableTest, AFailedDropIsIgnoredOnlyWhenTheTableIsGone) {
  for (const bool gone : {true, false}) {
    script_ = Script();
    ScriptDictionary({});
    script_.Fail("Drop Table TermCount", "Cannot drop the table 'TermCount'.", "42000", 3729);
    if (!gone) script_.Answer("Select Object_ID(N'TermCount')", Column("", {"1234"}));
    std::vector<std::string> expected = Sequence(101, 1, kExampleTemplate);
    const auto next = expected.insert(
        std::find(expected.begin(), expected.end(), "EXEC Drop Table TermCount") + 1,
        "OPEN Select Object_ID(N'TermCount')");
    if (gone) {
      Rebuild(101);
    } else {
      expected.erase(next + 1, expected.end());
      try {
        Rebuild(101);
        ADD_FAILURE() << "not stopped";
      } catch (const sql::SqlError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(
            "'Drop Table TermCount' failed and TermCount is still there: another object refers "
            "to it (a FOREIGN KEY constraint, or a view"))
            << e.what();
      }
    }
    EXPECT_EQ(script_.Statements(), expected);
  }
}

// Every query and statement but the drop: its failure propagates, nothing
// after it is sent, and Modified stays set.
TEST_F(TerminalTableTest, EveryFailureButTheDropsEndsTheRebuild) {
  TerminalScenario d;
  d.types = {"T1", "T2"};
  const std::vector<std::string> sequence = Sequence(101, 2, kExampleTypesTemplate);
  const std::size_t drop = 7;
  ASSERT_EQ(sequence[drop], "EXEC Drop Table TermCount");
  for (std::size_t failing = 0; failing < sequence.size(); ++failing) {
    if (failing == drop) continue;
    script_ = Script();
    ScriptDictionary(d);
    script_.FailCallAt(failing + 1, "failure " + std::to_string(failing));  // after CONNECT
    try {
      Rebuild(101);
      ADD_FAILURE() << "no failure from " << sequence[failing];
    } catch (const sql::SqlError& error) {
      EXPECT_STREQ(error.what(), ("failure " + std::to_string(failing)).c_str());
    }
    const auto sent = static_cast<std::ptrdiff_t>(failing + 1);
    EXPECT_EQ(script_.Statements(),
              std::vector<std::string>(sequence.begin(), sequence.begin() + sent))
        << sequence[failing];
  }
}

TEST_F(TerminalTableTest, ADuplicatedTypeFailsAtTheServerAndPropagates) {
  TerminalScenario d;
  d.slotCount = 1;
  d.types = {"T1", "T1"};
  ScriptDictionary(d);
  const std::string create =
      "Create Table TermCount(K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[F] Int "
      "Null ,[T1_x_1] Integer Null Default(0),[T1_V] Money Null Default(0),[T1_x_1] Integer Null "
      "Default(0),[T1_V] Money Null Default(0))";
  const std::string message =
      "Column names in each table must be unique. Column name 'T1_x_1' in table 'TermCount' is "
      "repeated.";
  script_.Fail(create, message);
  try {
    Rebuild(101);
    FAIL() << "the create went through";
  } catch (const sql::SqlError& error) {
    EXPECT_EQ(error.what(), message);
  }
  std::vector<std::string> expected = Reads(101, 2);
  expected.insert(expected.end(), {"EXEC Drop Table TermCount", "EXEC " + create});
  EXPECT_EQ(script_.Statements(), expected);
}

TEST_F(TerminalTableTest, WithoutAnSModifyRowTheNamesAreEmpty) {
  TerminalScenario d;
  d.hasSModifyRow = false;
  ScriptDictionary(d);
  Rebuild(101);
  const std::vector<std::string> statements = script_.Statements();
  ASSERT_EQ(statements.size(), 11U);
  EXPECT_EQ(statements[6], "EXEC Drop Table ");
  EXPECT_EQ(statements[7],
            "EXEC Create Table (K Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ,[x_1] "
            "Integer Null Default(0),[x_2] Integer Null Default(0))");
}

TEST_F(TerminalTableTest, ARefusedDictionaryTextStopsTheRebuildBeforeAnyStatement) {
  struct Case {
    const char* column;
    TerminalScenario dictionary;
  };
  const Case cases[] = {
      {"S_Modify.TableName",
       With([](TerminalScenario& d) { d.tableName = "T;drop table Customer--"; })},
      {"DataDictionary.TableName", With([](TerminalScenario& d) { d.dictTableName = "T] drop"; })},
      {"DataDictionary.FieldName", With([](TerminalScenario& d) { d.keyColumn = "K Int,X"; })},
      {"S_Modify.FixedField", With([](TerminalScenario& d) { d.fixedField = "F;G]/*;"; })},
      {"S_Modify.FixedFieldKind",
       With([](TerminalScenario& d) { d.fixedFieldKind = "Int) drop;"; })},
      {"DataDictReportContent.Type", With([](TerminalScenario& d) {
         d.types = {"T1", "T'2"};
       })},
      {"S_Modify.CreateField", With([](TerminalScenario& d) { d.createField = "V;W]x;"; })},
      {"S_Modify.FieldKind",
       With([](TerminalScenario& d) { d.fieldKind = "Money Default(1),[Z] Int;"; })},
  };
  for (const Case& c : cases) {
    script_ = Script();
    ScriptDictionary(c.dictionary);
    try {
      Rebuild(101);
      ADD_FAILURE() << c.column << " was let through";
    } catch (const dictionary::DictionaryTextRefused& refused) {
      EXPECT_EQ(refused.Column(), c.column);
      EXPECT_EQ(refused.TableTag(), 101);
    }
    EXPECT_FALSE(AnythingExecuted()) << c.column;
  }
}

// Texts that no statement uses cannot reach the server, so they do not stop
// the rebuild.
TEST_F(TerminalTableTest, TextsNoStatementUsesAreNotChecked) {
  struct Case {
    const char* what;
    TerminalScenario dictionary;
  };
  const Case cases[] = {
      {"value columns of a table that builds no group", With([](TerminalScenario& d) {
         d.tag = 150;
         d.createField = "V--;";
         d.fieldKind = "Money;drop;";
       })},
      {"the kind of the second of two names equal but for case", With([](TerminalScenario& d) {
         d.createField = "Qty;QTY;";
         d.fieldKind = "Int;Bad];";
       })},
      {"kinds beyond the last name",
       With([](TerminalScenario& d) { d.fixedFieldKind = "Int;[x];"; })},
      {"text after the last ';'", With([](TerminalScenario& d) { d.fixedField = "F;G'--"; })},
  };
  for (const Case& c : cases) {
    script_ = Script();
    ScriptDictionary(c.dictionary);
    EXPECT_NO_THROW(Rebuild(c.dictionary.tag)) << c.what;
    EXPECT_EQ(script_.Statements().back(), "EXEC Update S_Modify Set Modified=0 Where TableTag=" +
                                               std::to_string(c.dictionary.tag))
        << c.what;
  }
}

}  // namespace
}  // namespace slotsync::testing
