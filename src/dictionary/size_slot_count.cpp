#include "dictionary/size_slot_count.h"

#include <algorithm>

namespace slotsync::dictionary {

std::int32_t GetSizeSlotCount(sql::SqlAccess& access) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(
      "Select Count(*),b.SizeGroupID From SizeGroup a,SizeGroupSize b Where "  // not a message
      "a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID");
  query.OpenByPosition();
  std::int32_t largest = 0;
  for (; !query.End(); query.Next()) largest = std::max(largest, query.Field(0).AsInteger());
  return largest;
}

}  // namespace slotsync::dictionary
