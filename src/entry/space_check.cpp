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

// Whole megabytes, rounded up, their thousands grouped: "12,480 MB".
std::string Megabytes(std::int64_t bytes) {
  const std::int64_t megabytes = ((bytes < 0 ? -bytes : bytes) + 1024 * 1024 - 1) / (1024 * 1024);
  std::string digits = std::to_string(megabytes);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return (bytes < 0 ? "-" : "") + digits + " MB";
}

// What one kind of file can still take: the free pages now, plus the growth
// up to each file's set limit. A file that grows without a limit, or a log
// up to its nominal 2 TB, is bounded by its disk, which the run cannot see:
// that growth is said, never counted as room.
struct Room {
  std::int64_t usedPages = 0;
  std::int64_t capacityPages = 0;
  bool diskBound = false;
  bool present = false;   // the files were read
  bool usedKnown = true;  // every file said how much of it is in use
};

void AddFile(Room& room, bool log, std::int64_t size, std::int64_t maxSize, std::int64_t growth,
             std::optional<std::int64_t> used) {
  room.present = true;
  room.usedKnown = room.usedKnown && used.has_value();
  room.usedPages += used.value_or(0);
  room.capacityPages += size;
  if (growth == 0) return;
  if (maxSize < 0 || (log && maxSize >= kLogLimitPages)) {
    room.diskBound = true;
  } else {
    room.capacityPages += std::max<std::int64_t>(maxSize - size, 0);
  }
}

const char* CompressionName(std::int64_t compression) {
  switch (compression) {
    case 1:
      return "ROW";  // not a message
    case 2:
      return "PAGE";  // not a message
    default:
      return "COLUMNSTORE";  // not a message
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
    const bool tablesKnown = ReadTables(check);
    const bool filesKnown = ReadFiles();
    const std::optional<std::int64_t> logUsed = ReadLogInUse();
    const bool dataKnown = data_.present && data_.usedKnown;
    const bool logKnown = log_.present && logUsed.has_value();
    if (!tablesKnown || !filesKnown || !dataKnown || !logKnown) {
      check.problems.push_back(
          {0, rebuild::Severity::kNote,
           text::Tr("the room in the transaction log and the data files could not be read (the "
                    "login needs VIEW DATABASE STATE, or VIEW SERVER STATE for the log), so the "
                    "run does not know whether the copies fit")});
      return check;
    }
    const std::int64_t data = dataPages_ * kPageBytes;
    const std::int64_t indexes = indexPages_ * kPageBytes;
    const std::int64_t logNeeded = kLogBytesPerDataByte * (data + indexes);
    const std::int64_t dataNeeded = kDataBytesPerDataByte * data + indexes;
    const std::int64_t logRoom =
        std::max<std::int64_t>(log_.capacityPages * kPageBytes - logUsed.value_or(0), 0);
    const std::int64_t dataRoom =
        std::max<std::int64_t>((data_.capacityPages - data_.usedPages) * kPageBytes, 0);
    // What the transaction log and the data files can still take: the end of
    // each half of the sentence below.
    const std::string logTakes =
        log_.diskBound ? text::TrFormat(
                             "has %s free and then grows as far as its disk allows, which the "
                             "run cannot see",
                             Megabytes(logRoom))
                       : text::TrFormat("can take %s more", Megabytes(logRoom));
    const std::string dataTakes =
        data_.diskBound ? text::TrFormat(
                              "have %s free and then grow as far as their disk allows, which the "
                              "run cannot see",
                              Megabytes(dataRoom))
                        : text::TrFormat("can take %s more", Megabytes(dataRoom));
    const std::string figures = text::TrFormat(
        // TRANSLATORS: the fourth %s is the size of the secondary indexes, the fifth says what the
        // transaction log can still take ("can take 120 MB more"), the last what the data files
        // can.
        "the run will log about %s in its one transaction (%d times the %s of data and %s of "
        "indexes of the detail tables it copies), and the transaction log %s; the copies, their "
        "clustered keys and their indexes need about %s in the data files, while the old tables "
        "keep their pages until after the commit, and the files %s",
        Megabytes(logNeeded), kLogBytesPerDataByte, Megabytes(data), Megabytes(indexes), logTakes,
        Megabytes(dataNeeded), dataTakes);
    check.problems.push_back({0, rebuild::Severity::kNote, text::TrFormat("space: %s", figures)});
    const bool logShort = logNeeded > logRoom;
    const bool dataShort = dataNeeded > dataRoom;
    if ((logShort && !log_.diskBound) || (dataShort && !data_.diskBound)) {
      check.problems.push_back(
          {0, rebuild::Severity::kRefusal,
           logShort && !log_.diskBound
               ? text::TrFormat(
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
    if (logShort || dataShort) {
      check.warning = text::TrFormat(
          "the files must grow on their disk for the run to fit, and the run cannot see how much "
          "room the disk has: make sure it has %s free for the transaction log and %s for the "
          "data files: %s",
          Megabytes(logShort ? logNeeded - logRoom : 0),
          Megabytes(dataShort ? dataNeeded - dataRoom : 0), figures);
      return check;
    }
    const bool close = logNeeded * 5 > logRoom * 4 || dataNeeded * 5 > dataRoom * 4;
    if (close) check.warning = text::TrFormat("little room to spare: %s", figures);
    return check;
  }

 private:
  bool ReadTables(SpaceCheck& check) {
    bool all = true;
    for (const rebuild::TablePlan& table : tables_) {
      if (table.kind != rebuild::TableKind::kDetail || table.tableName.empty() ||
          dictionary::FindRefusal(dictionary::TextPlace::kTableName, table.tableName)) {
        continue;
      }
      std::optional<std::int64_t> pages, indexPages, compression;
      const bool read = TryRead([&] {
        sql::SqlQuery query(access_, sql::kSizeConnectionName);
        query.SetText(TableDataPagesSql(table.tableName));
        query.Open();
        if (query.Empty()) return;
        pages = Number(query.Field(0));
        if (query.FieldCount() >= 3) {
          indexPages = Number(query.Field(1));
          compression = Number(query.Field(2));
        }
      });
      all = all && read && pages.has_value();
      if (compression.value_or(0) > 0) {
        // Its copy is no longer compressed, by how much more the server
        // alone can estimate; and the run then rebuilds it compressed, as
        // the old table was, writing its rows once more inside the
        // transaction while the uncompressed pages stay until the commit.
        check.problems.push_back(
            {table.tableTag, rebuild::Severity::kNote,
             text::TrFormat("%s is stored with %s compression and its copy is not compressed: "
                            "the room counts its data %d times over, and may need more "
                            "(sp_estimate_data_compression_savings tells how much), and once "
                            "more for the compressed rebuild the run then makes of the copy",
                            table.tableName, CompressionName(*compression),
                            kUncompressedPerCompressedByte)});
        dataPages_ += (kUncompressedPerCompressedByte + 1) * pages.value_or(0);
      } else {
        dataPages_ += pages.value_or(0);
      }
      indexPages_ += indexPages.value_or(0);
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
        AddFile(*type == 0 ? data_ : log_, *type == 1, *size, *maxSize, *growth, used);
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
  std::int64_t indexPages_ = 0;
  Room data_, log_;
};

}  // namespace

std::string TableDataPagesSql(const std::string& table) {
  // A large value's allocation unit belongs to the partition, the others to
  // its heap or B-tree.
  return sql::Format(
      "Select Sum(Case When p.index_id<2 Then a.used_pages Else 0 End),Sum(Case When "
      "p.index_id>1 Then a.used_pages Else 0 End),Max(Case When p.index_id<2 Then "
      "p.data_compression Else 0 End) From sys.partitions p Join sys.allocation_units a On "
      "a.container_id=Case When a.type=2 Then p.partition_id Else p.hobt_id End Where "
      "p.object_id=Object_ID(%s)",
      sql::UnicodeLiteral(table));
}

SpaceCheck CheckSpace(sql::SqlAccess& access, const std::vector<rebuild::TablePlan>& tables) {
  const bool copies = std::any_of(tables.begin(), tables.end(), [](const auto& table) {
    return table.kind == rebuild::TableKind::kDetail;
  });
  if (!copies) return {};
  return Estimate(access, tables).Judge();
}

}  // namespace slotsync::entry
