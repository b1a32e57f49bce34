#include "entry/space_check.h"

#include <algorithm>
#include <exception>

#include "dictionary/dictionary_guard.h"
#include "sql/quoting.h"
#include "sql/sql_error.h"
#include "sql/statement_template.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

constexpr std::int64_t kPageBytes = 8192;

// A read that failed is a figure unknown; a lost link or a cancelled run
// ends the run as any other read would.
template <typename Read>
bool TryRead(Read read) {
  try {
    read();
    return true;
  } catch (const sql::SqlError& e) {
    if (e.ConnectionLost() || e.SqlState() == "HY008") throw;
    return false;
  }
}

std::optional<std::int64_t> Number(const sql::SqlField& field) {
  if (field.IsNull()) return std::nullopt;
  try {
    return std::stoll(field.AsString());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string Megabytes(std::int64_t bytes) {
  return std::to_string((bytes + 1024 * 1024 - 1) / (1024 * 1024)) + " MB";
}

// What one kind of file can still take: free pages now plus the growth up
// to each file's limit; unset when a file grows without a set limit.
struct Room {
  std::int64_t usedPages = 0;
  std::int64_t capacityPages = 0;
  bool unlimited = false;
  bool present = false;   // the files were read
  bool usedKnown = true;  // every file said how much of it is in use
};

void AddFile(Room& room, std::int64_t size, std::int64_t maxSize, std::int64_t growth,
             std::optional<std::int64_t> used) {
  room.present = true;
  room.usedKnown = room.usedKnown && used.has_value();
  room.usedPages += used.value_or(0);
  if (growth == 0) {
    room.capacityPages += size;
  } else if (maxSize < 0) {
    room.unlimited = true;
  } else {
    room.capacityPages += std::max(size, maxSize);
  }
}

class Estimate {
 public:
  Estimate(sql::SqlAccess& access, const std::vector<rebuild::TablePlan>& tables)
      : access_(access), tables_(tables) {}

  SpaceCheck Judge() {
    SpaceCheck check;
    // Every read is made, whatever an earlier one gave, so that the run's
    // reads do not depend on the answers.
    const bool tablesKnown = ReadTables();
    const bool filesKnown = ReadFiles();
    const std::optional<std::int64_t> logUsed = ReadLogInUse();
    const bool dataKnown = data_.present && (data_.usedKnown || data_.unlimited);
    const bool logKnown = log_.present && (logUsed.has_value() || log_.unlimited);
    if (!tablesKnown || !filesKnown || !dataKnown || !logKnown) {
      check.problems.push_back(
          {0, rebuild::Severity::kNote,
           text::Tr("the room in the transaction log and the data files could not be read (the "
                    "login needs VIEW DATABASE STATE, or VIEW SERVER STATE for the log), so the "
                    "run does not know whether the copies fit")});
      return check;
    }
    const std::int64_t data = dataPages_ * kPageBytes;
    const std::int64_t logNeeded = kLogBytesPerDataByte * data;
    const std::int64_t dataNeeded = kDataBytesPerDataByte * data;
    const std::int64_t logRoom = log_.capacityPages * kPageBytes - logUsed.value_or(0);
    const std::int64_t dataRoom = (data_.capacityPages - data_.usedPages) * kPageBytes;
    // What the transaction log and the data files can still take: the end of
    // each half of the sentence below.
    const std::string logTakes = log_.unlimited
                                     ? text::Tr("grows without a set limit")
                                     : text::TrFormat("can take %s more", Megabytes(logRoom));
    const std::string dataTakes = data_.unlimited
                                      ? text::Tr("grow without a set limit")
                                      : text::TrFormat("can take %s more", Megabytes(dataRoom));
    const std::string figures = text::TrFormat(
        // TRANSLATORS: the fourth %s says what the transaction log can still take ("grows without a
        // set limit", "can take 120 MB more"), the last what the data files can.
        "the run will log about %s in its one transaction (%d times the %s of the detail tables "
        "it copies), and the transaction log %s; the copies need about %s in the data files, "
        "which %s",
        Megabytes(logNeeded), kLogBytesPerDataByte, Megabytes(data), logTakes,
        Megabytes(dataNeeded), dataTakes);
    check.problems.push_back({0, rebuild::Severity::kNote, text::TrFormat("space: %s", figures)});
    const bool logShort = !log_.unlimited && logNeeded > logRoom;
    const bool dataShort = !data_.unlimited && dataNeeded > dataRoom;
    if (logShort || dataShort) {
      check.problems.push_back(
          {0, rebuild::Severity::kRefusal,
           logShort ? text::TrFormat(
                          "the transaction log cannot take what the run needs: %s; a log or file "
                          "that fills half way stops the run (error 9002 or 1105) and the "
                          "database takes no change until it is rolled back; make room first "
                          "(back up the log, grow the files or raise their MAXSIZE)",
                          figures)
                    : text::TrFormat(
                          "the data files cannot take what the run needs: %s; a log or file that "
                          "fills half way stops the run (error 9002 or 1105) and the database "
                          "takes no change until it is rolled back; make room first (back up the "
                          "log, grow the files or raise their MAXSIZE)",
                          figures)});
      return check;
    }
    const bool close = (!log_.unlimited && logNeeded * 5 > logRoom * 4) ||
                       (!data_.unlimited && dataNeeded * 5 > dataRoom * 4);
    if (close) check.warning = text::TrFormat("little room to spare: %s", figures);
    return check;
  }

 private:
  bool ReadTables() {
    bool all = true;
    for (const rebuild::TablePlan& table : tables_) {
      if (table.kind != rebuild::TableKind::kDetail || table.tableName.empty() ||
          dictionary::FindRefusal(dictionary::TextPlace::kTableName, table.tableName)) {
        continue;
      }
      std::optional<std::int64_t> pages;
      const bool read = TryRead([&] {
        sql::SqlQuery query(access_, sql::kSizeConnectionName);
        query.SetText(TableDataPagesSql(table.tableName));
        query.Open();
        if (!query.Empty()) pages = Number(query.Field(0));
      });
      all = all && read && pages.has_value();
      dataPages_ += pages.value_or(0);
    }
    return all;
  }

  bool ReadFiles() {
    return TryRead([&] {
      sql::SqlQuery query(access_, sql::kSizeConnectionName);
      query.SetText(kDatabaseFilesSql);
      query.Open();
      for (; !query.End(); query.Next()) {
        const auto type = Number(query.Field(0));
        const auto size = Number(query.Field(1));
        const auto maxSize = Number(query.Field(2));
        const auto growth = Number(query.Field(3));
        const auto used = Number(query.Field(4));
        if (!type || !size || !maxSize || !growth || (*type != 0 && *type != 1)) continue;
        AddFile(*type == 0 ? data_ : log_, *size, *maxSize, *growth, used);
      }
    });
  }

  // The bytes of log in use: the view's figure, or the log files' own.
  std::optional<std::int64_t> ReadLogInUse() {
    std::optional<std::int64_t> used;
    TryRead([&] {
      sql::SqlQuery query(access_, sql::kSizeConnectionName);
      query.SetText(kLogSpaceSql);
      query.Open();
      if (!query.Empty()) used = Number(query.Field(0));
    });
    if (!used && log_.usedKnown) used = log_.usedPages * kPageBytes;
    return used;
  }

  sql::SqlAccess& access_;
  const std::vector<rebuild::TablePlan>& tables_;
  std::int64_t dataPages_ = 0;
  Room data_, log_;
};

}  // namespace

std::string TableDataPagesSql(const std::string& table) {
  return sql::Format(
      "Select Sum(in_row_data_page_count+lob_used_page_count+row_overflow_used_page_count) From "
      "sys.dm_db_partition_stats Where object_id=Object_ID(%s) and index_id In (0,1)",
      sql::Literal(table));
}

SpaceCheck CheckSpace(sql::SqlAccess& access, const std::vector<rebuild::TablePlan>& tables) {
  const bool copies = std::any_of(tables.begin(), tables.end(), [](const auto& table) {
    return table.kind == rebuild::TableKind::kDetail;
  });
  if (!copies) return {};
  return Estimate(access, tables).Judge();
}

}  // namespace slotsync::entry
