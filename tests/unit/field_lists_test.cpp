#include "dictionary/field_lists.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace slotsync::dictionary {

void PrintTo(const ColumnPair& pair, std::ostream* out) {
  *out << "{\"" << pair.name << "\", \"" << pair.kind << "\"}";
}

namespace {

using Items = std::vector<std::string>;
using Pairs = std::vector<ColumnPair>;

// Two GBK characters sharing their lead byte whose trail bytes are the ASCII
// letters "A" (0x41) and "a" (0x61): different characters that folding the
// trail byte would wrongly make equal.
const std::string kGbkUpperTrail = "\x81\x41";
const std::string kGbkLowerTrail = "\x81\x61";

TEST(SplitItems, TakesEachItemFollowedBySemicolon) {
  const std::pair<std::string, Items> cases[] = {
      {"A;B;", {"A", "B"}},
      {"A;;B;", {"A", "", "B"}},
      {";A;", {"", "A"}},
      {"A;B", {"A"}},  // text after the last ";" is not an item
      {"A ;B;", {"A ", "B"}},
      {" A; ", {" A"}},
      {"", {}},
      {"ID", {}},
      {"ID;", {"ID"}},
      {";;", {"", ""}},
      {"x=1;y=;", {"x=1", "y="}},
      {kGbkUpperTrail + ";" + kGbkLowerTrail + ";", {kGbkUpperTrail, kGbkLowerTrail}}};
  for (const auto& [list, items] : cases) EXPECT_EQ(items, SplitItems(list)) << list;
}

TEST(PairItems, NamesDriveTheWalkAndMissingKindsAreEmpty) {
  struct Case {
    std::string names, kinds;
    Pairs pairs;
  };
  const Case cases[] = {
      {"A;B;", "Int;Money;", {{"A", "Int"}, {"B", "Money"}}},
      {"A;B;C;", "Int;", {{"A", "Int"}, {"B", ""}, {"C", ""}}},  // fewer kinds
      {"A;B;", "Int;Money", {{"A", "Int"}, {"B", ""}}},          // "Money" has no ";"
      {"A;", "Int;Money;Bit;", {{"A", "Int"}}},                  // more kinds
      {"A;;B;", ";Int;Money;", {{"A", ""}, {"", "Int"}, {"B", "Money"}}},
      {"A ;B;", "Decimal(18, 2);Varchar(20);", {{"A ", "Decimal(18, 2)"}, {"B", "Varchar(20)"}}},
      {"A;B", "Int;Money;", {{"A", "Int"}}},
      {"V", "Money;", {}},
      {"", "Int;", {}},
      {"A;", "", {{"A", ""}}}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.pairs, PairItems(c.names, c.kinds)) << c.names << " / " << c.kinds;
  }
}

TEST(BuildKeyList, JoinsItemsWithoutLeadingComma) {
  const std::pair<std::string, std::string> cases[] = {
      {"ID", "ID"},      {"ID;", "ID"},     {"A;B;", "A,B"},   {"A;B", "A"},
      {"A;;B;", "A,,B"}, {";A;", "A"},      {";;A;B;", "A,B"}, {";", ""},
      {"", ""},          {"A ;B;", "A ,B"}, {" ID ", " ID "},  // no ";": the whole text, unchanged
      {"A,B", "A,B"}};
  for (const auto& [keyField, keyList] : cases) EXPECT_EQ(keyList, BuildKeyList(keyField));
}

TEST(ColumnPairList, StoresNameEqualsKindAndReadsItBack) {
  const ColumnPairList list("V;Qty;", "Money;Int;");
  EXPECT_EQ((Items{"V=Money", "Qty=Int"}), list.Texts());
  EXPECT_EQ((Pairs{{"V", "Money"}, {"Qty", "Int"}}), list.Entries());
}

TEST(ColumnPairList, ReadsKindOfFirstEntryWithSameName) {
  struct Case {
    std::string createField, fieldKind;
    Pairs entries;
  };
  const Case cases[] = {// Names equal apart from ASCII letter case take the first one's kind.
                        {"Qty;Other;QTY;qty;",
                         "Int;Money;Bit;Date;",
                         {{"Qty", "Int"}, {"Other", "Money"}, {"QTY", "Int"}, {"qty", "Int"}}},
                        // A GBK trail byte that looks like a letter is never folded.
                        {kGbkUpperTrail + ";" + kGbkLowerTrail + ";",
                         "Int;Money;",
                         {{kGbkUpperTrail, "Int"}, {kGbkLowerTrail, "Money"}}},
                        {kGbkUpperTrail + ";" + kGbkUpperTrail + ";",
                         "Int;Money;",
                         {{kGbkUpperTrail, "Int"}, {kGbkUpperTrail, "Int"}}},
                        {"A;B;", "Int;", {{"A", "Int"}, {"B", ""}}},
                        // A name holding "=" is cut at it; the rest of it joins the kind.
                        {"A=B;", "Int;", {{"A", "B=Int"}}},
                        {"A;A=B;", "Int;Money;", {{"A", "Int"}, {"A", "Int"}}},
                        {";", "Int;", {{"", "Int"}}},
                        {"V", "Money;", {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.entries, ColumnPairList(c.createField, c.fieldKind).Entries()) << c.createField;
  }
}

}  // namespace
}  // namespace slotsync::dictionary
