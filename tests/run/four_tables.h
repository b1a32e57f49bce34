#pragma once

// A database with two detail and two per-terminal tables flagged, one of each
// kind in each TableTag range, as the fault sweep and the end-to-end runs
// use it: N = 3 size slots where StockDetailTemp has 2, so the run goes on
// and rebuilds all four inside its transaction.

#include "run_fixture.h"
#include "scenarios.h"

namespace slotsync::testing {

// "备注" (remark) in GBK: a value column with a Chinese name, so that GBK
// text travels through every layer down to the driver.
inline const std::string kRemarkGbk = "\xB1\xB8\xD7\xA2";

struct FourTables {
  DetailScenario stockDetail = [] {
    DetailScenario d;  // TableTag 10, StockDetail with its defaults
    d.n = 3;
    return d;
  }();
  DetailScenario orderDetail = [] {
    DetailScenario d;
    d.tag = 450;
    d.tableName = "OrderDetail";
    d.keyField = "OrderDetailID";
    d.createField = "Price;" + kRemarkGbk + ";";
    d.fieldKind = "Money;Varchar(20);";
    d.fieldFrom = "1";
    d.dictionaryTable = "OrderBill";
    d.dictionaryColumns = {"OrderBillID", "CustCode"};
    d.plainColumns = {"OrderDetailID", "IndexNo",   "OrderBillID", "Price",
                      kRemarkGbk,      "SizeIndex", "SizeStr"};
    d.n = 3;
    d.sizeText = "2.0";
    return d;
  }();
  TerminalScenario termCount = [] {
    TerminalScenario t;  // TableTag 101, in the plain-size set
    t.tableName = t.dictTableName = "TermCount";
    t.slotCount = 3;
    return t;
  }();
  TerminalScenario termReport = [] {
    TerminalScenario t;
    t.tag = 600;
    t.tableName = t.dictTableName = "TermReport";
    t.keyColumn = "ReportID";
    t.types = {"T1", "T2"};
    t.slotCount = 3;
    return t;
  }();

  // The order in which S_Modify returns the flagged rows.
  std::vector<std::int32_t> Tags() const {
    return {stockDetail.tag, termCount.tag, orderDetail.tag, termReport.tag};
  }

  void Apply(RunFixture& run) const {
    run.ScriptCounts(3, 2);
    run.ScriptFlagged(Tags());
    stockDetail.Apply(run.script);
    orderDetail.Apply(run.script);
    ScriptTerminalDictionary(run.script, termCount);
    ScriptTerminalDictionary(run.script, termReport);
  }
};

// The rebuilds the run makes, with the real rebuilders instead of the
// fixture's stand-ins.
inline entry::RunDependencies WithRealRebuilders(entry::RunDependencies deps) {
  deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
    return rebuild::MakeRebuilders(access, box);
  };
  return deps;
}

}  // namespace slotsync::testing
