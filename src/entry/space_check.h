#pragma once

// Room for the run in the transaction log and the data files, judged before
// its transaction. The copy of a detail table, the primary key built on it
// and the update of its size texts are logged in one transaction that no
// log backup can truncate before it ends: a log that fills half way (error
// 9002) rolls everything back, and meanwhile the database takes no change
// at all. So the run estimates what it will log and refuses when the log
// clearly cannot take it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The log records of a copy, its clustered key, each index built on it and
// its size-text update hold the data about three times over.
inline constexpr std::int64_t kLogBytesPerDataByte = 3;
// The copy is a heap until its clustered key is built beside it, and the
// heap's pages are freed only at the commit: twice the data. The sort of
// each index runs in the space of the index it builds (SORT_IN_TEMPDB is
// off), and the old tables keep their pages until after the commit too.
inline constexpr std::int64_t kDataBytesPerDataByte = 2;
// A table stored compressed is copied into one that is not: its data is
// counted at least twice over.
inline constexpr std::int64_t kUncompressedPerCompressedByte = 2;
// What sys.database_files gives as the limit of a log file that "grows
// without a limit": 2 TB, which only the disk bounds.
inline constexpr std::int64_t kLogLimitPages = 268435456;

// Of one table, from the catalog (which any user with a right on the table
// may read, no VIEW DATABASE STATE needed): the pages of its heap or
// clustered index with their large and overflow values, the pages of its
// other indexes, and how its data is compressed (0 none, 1 row, 2 page, 3
// and 4 columnstore).
std::string TableDataPagesSql(const std::string& table);
// Every file of the database: kind (0 data, 1 log), size, limit and growth
// in 8 KB pages, and the pages in use.
inline constexpr const char* kDatabaseFilesSql =
    "Select type,size,max_size,growth,FileProperty(name,'SpaceUsed') From sys.database_files";
// The log in use, all log files together; the files' own figures stand in
// where the view is missing (before SQL Server 2012) or the login may not
// read it.
inline constexpr const char* kLogSpaceSql =
    "Select used_log_space_in_bytes From sys.dm_db_log_space_usage";

struct SpaceCheck {
  std::vector<rebuild::Problem> problems;  // the figures as a note, or the refusal
  std::string warning;                     // the room is close to what the run needs
};

// Reads only when a detail table is flagged; a figure the server does not
// give leaves the check to a note saying so.
SpaceCheck CheckSpace(sql::SqlAccess& access, const std::vector<rebuild::TablePlan>& tables);

}  // namespace slotsync::entry
