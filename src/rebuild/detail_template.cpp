#include "rebuild/detail_template.h"

#include "rebuild/rebuild_steps.h"
#include "sql/statement_template.h"

namespace slotsync::rebuild {
namespace {

constexpr const char* kMemo = "[Memo] Varchar(30) Null,";

// "BoxQty", matched exactly, stands before the slot columns as an int,
// whatever kind the dictionary gives it.
constexpr const char* kBoxQuantity = "BoxQty";

std::string SizeGroup(std::int32_t slotCount) {
  std::string group;
  for (std::int32_t i = 1; i <= slotCount; ++i) {
    if (!group.empty()) group += ',';
    group += sql::Format("[x_%d] Integer Null", i);
  }
  return group;
}

}  // namespace

std::string SecondPlaceholderText(std::int32_t tableTag) {
  switch (tableTag) {
    case 21:
      return std::string(
                 "StuffPrice Money Null,StuffAmount Money Null,OrderNo Varchar(20) "
                 "Null,DeliveryDate Datetime Null,CustCode Varchar(20) Null,CancelFlag bit Not "
                 "Null Default(0),") +
             kMemo;
    case 23:
      return std::string(
                 "StuffPrice Money Null,StuffAmount Money Null,CustCode Varchar(20) "
                 "Null,PurchaseOrderID Varchar(20) Null,") +
             kMemo;
    case 29:
      return std::
                 string(
                     "OrderNo Varchar(20) Null,RelationSalesOrderID Varchar(20) Null,DeliveryDate "
                     "Datetime Null,ExchangeProfit Money Null,ExchangePeriod Int Null,CancelFlag "
                     "bit "  // not a message
                     "Not Null Default(0),") +
             kMemo;
    case 31:
      return std::string(
                 "ExchangeProfit Money Null,ExchangePeriod Int Null,SalesOrderID Varchar(20) "
                 "Null,") +
             kMemo;
    case 39:
      return {};
    default:
      return kMemo;
  }
}

std::string BuildDetailTemplate(const DetailLayout& layout) {
  CreateTableText text;
  text.Append("Create Table %s(")
      .Append(layout.keyList)
      .Append(" Varchar(40) Not Null Default NewID(),IndexNo int Null,");  // not a message
  for (const auto& column : layout.carriedColumns) text.Append(column).Append(" Varchar(20),");
  if (HasFreeFields(layout.tableTag)) {
    for (std::int32_t i = 1; i <= 9; ++i) text.Append(sql::Format("Field%d Varchar(50) Null,", i));
  }

  bool hasBoxQuantity = false;
  std::string valueGroup;
  for (const auto& value : layout.values) {
    if (value.name == kBoxQuantity) {
      hasBoxQuantity = true;
      continue;
    }
    if (!valueGroup.empty()) valueGroup += ',';
    valueGroup += value.name + ' ' + value.kind + " Null";
  }

  const std::string sizeGroup = SizeGroup(layout.slotCount);
  if (!sizeGroup.empty()) {
    if (hasBoxQuantity) text.Append("BoxQty int Null,");  // not a message
    text.Append(sizeGroup).Append(",");
  }
  text.Append(valueGroup);
  // The text before the closing always ends with ",", so the closing's own
  // "," is left out when no value column came in between.
  text.Append(valueGroup.empty() ? "%s SizeIndex Integer Null,SizeStr Varchar(100) Null)"
                                 : ",%s SizeIndex Integer Null,SizeStr Varchar(100) Null)");
  return text.Narrow();
}

}  // namespace slotsync::rebuild
