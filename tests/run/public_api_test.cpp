#include "entry/public_api.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "entry/run_cancel.h"
#include "sql/connection_string.h"

#include "run_fixture.h"
#include "scenarios.h"

namespace slotsync::testing {
namespace {

class PublicApi : public RunFixture {
 protected:
  entry::ClientFactory client = [this](const entry::SizeConnectionSettings& settings) {
    clientsMade.push_back(settings);
    return std::make_unique<ScriptedConnection>(script);
  };
  SlotsyncOptions options = [] {
    SlotsyncOptions o{};
    o.size = sizeof o;
    return o;  // no display: showWindow 0
  }();
  SlotsyncResult result = [] {
    SlotsyncResult r{};
    r.size = sizeof r;
    return r;
  }();

  int Call(const char* server = "srv", const char* password = "pw") {
    return entry::RefreshStructWith(server, "db", "sa", password, &options, &result, &client);
  }
};

TEST_F(PublicApi, UnusableArgumentsAreRefusedBeforeAnythingHappens) {
  const std::string huge(entry::kMaxArgumentBytes + 1, 'x');
  const std::string largest(entry::kMaxArgumentBytes, 'x');
  EXPECT_EQ(Call(nullptr), SLOTSYNC_BAD_ARGUMENTS);
  EXPECT_STREQ(entry::LastError(), "the server name is NULL");
  EXPECT_EQ(Call("srv", nullptr), SLOTSYNC_BAD_ARGUMENTS);
  EXPECT_STREQ(entry::LastError(), "the password is NULL");
  EXPECT_EQ(Call(huge.c_str()), SLOTSYNC_BAD_ARGUMENTS);
  EXPECT_EQ(result.outcome, SLOTSYNC_BAD_ARGUMENTS);
  options.size = 4;
  EXPECT_EQ(Call(), SLOTSYNC_BAD_ARGUMENTS);
  EXPECT_TRUE(clientsMade.empty());

  options.size = sizeof options;
  script.Answer(kSizeSql, Rows({"SizeID"}, {}));
  EXPECT_EQ(Call(largest.c_str()), SLOTSYNC_IN_STEP);
  EXPECT_STREQ(entry::LastError(), "");
}

TEST_F(PublicApi, ResultCarriesCountsAndTheFailure) {
  ScriptCounts(14, 12);
  ScriptFlagged({});
  script.FailCommit("The transaction log for database 'db' is full.");
  EXPECT_EQ(Call(), SLOTSYNC_ROLLED_BACK);
  EXPECT_EQ(result.outcome, SLOTSYNC_ROLLED_BACK);
  EXPECT_EQ(result.slotCount, 14);
  EXPECT_EQ(result.slotColumns, 12);
  EXPECT_EQ(result.flaggedRows, 0);
  EXPECT_EQ(result.hasFailedTableTag, 0);
  EXPECT_STREQ(result.message, "commit failed: The transaction log for database 'db' is full.");
  EXPECT_STREQ(entry::LastError(), result.message);

  // A result block from an older, smaller header is filled only as far as it reaches.
  SlotsyncResult small{};
  small.size = offsetof(SlotsyncResult, slotColumns);
  small.slotColumns = -7;
  EXPECT_EQ(entry::RefreshStructWith("srv", "db", "sa", "pw", &options, &small, &client),
            SLOTSYNC_ROLLED_BACK);
  EXPECT_EQ(small.outcome, SLOTSYNC_ROLLED_BACK);
  EXPECT_EQ(small.slotCount, 14);
  EXPECT_EQ(small.slotColumns, -7);
}

TEST_F(PublicApi, LongMessagesAreCutAtACharacterBoundary) {
  // 1023 bytes fit: "ab" and 510 GBK characters take 1022, and the next
  // character would straddle the limit.
  const std::string chinese = "\xD5\xFD";
  std::string message = "ab";
  while (message.size() < 1100) message += chinese;
  script.FailConnect(message);
  EXPECT_EQ(Call(), SLOTSYNC_FAILED_BEFORE_TRANSACTION);
  EXPECT_EQ(std::strlen(result.message), 1022u);
  EXPECT_EQ(std::string(entry::LastError()), message);
}

TEST_F(PublicApi, LastErrorBelongsToTheCallingThread) {
  script.FailConnect("Login failed");
  Call();
  std::string seenElsewhere = "unset";
  std::thread([&] { seenElsewhere = entry::LastError(); }).join();
  EXPECT_EQ(seenElsewhere, "");
  EXPECT_STREQ(entry::LastError(), "Login failed");
}

struct Recorded {
  std::vector<std::string> events;
};

void SLOTSYNC_CALL OnStatement(void* context, const char* statement, int outcome) {
  static_cast<Recorded*>(context)->events.push_back("STATEMENT " + std::to_string(outcome) + " " +
                                                    statement);
}
void SLOTSYNC_CALL OnProgress(void* context, int event, const char* text) {
  static_cast<Recorded*>(context)->events.push_back("PROGRESS " + std::to_string(event) + " " +
                                                    text);
}

TEST_F(PublicApi, CallbacksSeeStatementsAndProgressInOrder) {
  Recorded recorded;
  options.onStatement = OnStatement;
  options.statementContext = &recorded;
  options.onProgress = OnProgress;
  options.progressContext = &recorded;
  script.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
  script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {{"14", "1"}}));
  script.Fail(kColumnCountSql, "x");  // the first run fails here, the second goes on
  script.Answer(kColumnCountSql, Column("", {"12"}));
  script.Answer(kFlaggedSql, Rows({"TableTag"}, {}));
  script.Answer(DatabaseLockSql(), Column("", {"0"}));
  EXPECT_EQ(Call(), SLOTSYNC_FAILED_BEFORE_TRANSACTION);
  EXPECT_EQ(Call(), SLOTSYNC_COMMITTED);
  // No lock timeout asked for: the run is bounded by the default all the same.
  const std::vector<std::string> expected = {"STATEMENT 0 " + kSizeSql,
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 2 " + kColumnCountSql,
                                             "STATEMENT 0 " + std::string(entry::kCollationSql),
                                             "PROGRESS 3 ",
                                             "STATEMENT 0 " + kSizeSql,
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 0 " + kColumnCountSql,
                                             "STATEMENT 0 SET LOCK_TIMEOUT 60000",
                                             "STATEMENT 0 SET DEADLOCK_PRIORITY LOW",
                                             "STATEMENT 0 " + DatabaseLockSql(),
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 0 " + kColumnCountSql,
                                             "STATEMENT 0 " + kFlaggedSql,
                                             "STATEMENT 0 " + ReleaseLockSql(),
                                             "PROGRESS 3 "};
  EXPECT_EQ(recorded.events, expected);
}

}  // namespace
}  // namespace slotsync::testing

namespace slotsync::testing {
namespace {

// Where the bytes occur in this process's writable memory, read through
// /proc/self/mem. Regions of a gigabyte or more are reservations, not data.
int CountInMemory(std::string_view bytes) {
  std::ifstream maps("/proc/self/maps");
  const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  int found = 0;
  std::string line;
  std::vector<char> chunk;
  while (mem >= 0 && std::getline(maps, line)) {
    std::uintptr_t from = 0, to = 0;
    char dash = 0;
    std::string permissions;
    std::istringstream(line) >> std::hex >> from >> dash >> to >> permissions;
    if (permissions.size() < 2 || permissions[1] != 'w' || to - from >= (1u << 30)) continue;
    chunk.resize(to - from);
    if (pread(mem, chunk.data(), chunk.size(), static_cast<off_t>(from)) <= 0) continue;
    for (auto at = chunk.begin();
         (at = std::search(at, chunk.end(), bytes.begin(), bytes.end())) != chunk.end(); ++at) {
      ++found;
    }
  }
  if (mem >= 0) close(mem);
  return found;
}

TEST_F(PublicApi, NoCopyOfThePasswordIsLeftInMemoryAfterTheCall) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed blocks in its quarantine, unwiped by design";
#endif
  // The ODBC client's own steps up to the driver: its settings, the
  // connection object holding them and the UTF-16 connection string. The
  // driver manager copies the string it is given (unixODBC parses it into
  // blocks of its own and frees them unwiped), out of our reach, so the
  // run itself talks to the scripted connection.
  client = [this](const entry::SizeConnectionSettings& settings) {
    const auto odbc = entry::OdbcClientFactory()(settings);
    sql::ConnectionSettings copy;
    copy.password = platform::SecretString(settings.Parameter("PASSWORD"));
    EXPECT_FALSE(sql::BuildWideConnectionString(copy, "FreeTDS").Empty());
    return std::make_unique<ScriptedConnection>(script);
  };
  script.Answer(kSizeSql, Rows({"SizeID"}, {}));
  // Short enough to live inside a string object, long enough to be unique.
  const std::string seen = std::string("Qz7-seen-") + "where the scan must find it";
  EXPECT_GE(CountInMemory("Qz7-seen-where"), 1);  // the scan reaches the heap
  // Long: the allocator writes its own links over the start of a freed
  // block, which would hide a short password left there.
  EXPECT_EQ(Call("srv", "Qz7-wipe-me-a-password-long-enough-to-outlast-the-links"),
            SLOTSYNC_IN_STEP);
  EXPECT_EQ(CountInMemory("long-enough-to-outlast-the-links"), 0);
  const std::u16string_view wide = u"long-enough-to-outlast-the-links";
  EXPECT_EQ(CountInMemory({reinterpret_cast<const char*>(wide.data()), wide.size() * 2}), 0);
}

void SLOTSYNC_CALL CancelOnFlagged(void*, const char* statement, int) {
  if (statement == kFlaggedSql) {
    EXPECT_TRUE(entry::CancelRunInProgress());
  }
}

TEST_F(PublicApi, AHostCancelsTheRunInProgressAndALateCancelIsDropped) {
  EXPECT_FALSE(entry::CancelRunInProgress());  // none in progress: the next run is not touched
  ScriptCounts(14, 12);
  ScriptFlagged({});
  options.onStatement = CancelOnFlagged;
  EXPECT_EQ(Call(), SLOTSYNC_FAILED_BEFORE_TRANSACTION);  // the flagged rows are read before it
  EXPECT_STREQ(result.message, "the run was interrupted");
  options.onStatement = nullptr;
  EXPECT_EQ(Call(), SLOTSYNC_COMMITTED);
}

TEST_F(PublicApi, AFlaggedTableShowsThePromptAndReportsItsTableTag) {
  Recorded recorded;
  options.onProgress = OnProgress;
  options.progressContext = &recorded;
  ScriptCounts(14, 12);
  ScriptFlagged({101});
  ScriptTerminalDictionary(script, TerminalScenario{});
  Call();
  const std::vector<std::string> expected = {
      "PROGRESS 5 checking 1 table: rights, room, dependents",
      "PROGRESS 0 \xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2\xA3\xAC\xC7\xEB\xC9\xD4"
      "\xBA\xF2...",
      "PROGRESS 1 ", "PROGRESS 2 101", "PROGRESS 3 "};
  EXPECT_EQ(recorded.events, expected);
}

}  // namespace
}  // namespace slotsync::testing
