#include "entry/public_api.h"

#include <cstring>
#include <thread>

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
  script.Answer(DatabaseLockSql("db"), Column("", {"0"}));
  EXPECT_EQ(Call(), SLOTSYNC_FAILED_BEFORE_TRANSACTION);
  EXPECT_EQ(Call(), SLOTSYNC_COMMITTED);
  const std::vector<std::string> expected = {"STATEMENT 0 " + kSizeSql,
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 2 " + kColumnCountSql,
                                             "PROGRESS 3 ",
                                             "STATEMENT 0 " + kSizeSql,
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 0 " + kColumnCountSql,
                                             "STATEMENT 0 " + DatabaseLockSql("db"),
                                             "STATEMENT 0 " + kSlotCountSql,
                                             "STATEMENT 0 " + kColumnCountSql,
                                             "STATEMENT 0 " + kFlaggedSql,
                                             "STATEMENT 0 " + ReleaseLockSql("db"),
                                             "PROGRESS 3 "};
  EXPECT_EQ(recorded.events, expected);
}

}  // namespace
}  // namespace slotsync::testing

namespace slotsync::testing {
namespace {

TEST_F(PublicApi, AFlaggedTableShowsThePromptAndReportsItsTableTag) {
  Recorded recorded;
  options.onProgress = OnProgress;
  options.progressContext = &recorded;
  ScriptCounts(14, 12);
  ScriptFlagged({101});
  ScriptTerminalDictionary(script, TerminalScenario{});
  Call();
  const std::vector<std::string> expected = {
      "PROGRESS 0 \xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2\xA3\xAC\xC7\xEB\xC9\xD4"
      "\xBA\xF2...",
      "PROGRESS 1 ", "PROGRESS 2 101", "PROGRESS 3 "};
  EXPECT_EQ(recorded.events, expected);
}

}  // namespace
}  // namespace slotsync::testing
