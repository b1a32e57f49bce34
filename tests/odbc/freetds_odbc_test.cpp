// The ODBC client with the real FreeTDS driver against a loopback port that
// nothing listens on: the failure must come back as SqlError with FreeTDS's
// own message, and soon - a client that waits for a server that is not there
// would hang the whole restructure run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "scoped_variable.h"
#include "sql/odbc_connection.h"
#include "sql/sql_access.h"
#include "sql/sql_error.h"

namespace slotsync::sql {
namespace {

using Clock = std::chrono::steady_clock;

// A hang guard, not a measure of speed: a refused connection takes
// milliseconds, a hung one forever.
constexpr auto kPatience = std::chrono::seconds(20);

// A loopback port that was free a moment ago: bound, read back and closed.
// With `listening`, the socket listens instead and is handed over: the
// kernel completes every handshake from its backlog and nothing is ever
// read or said, like a wrong service or a firewall that swallows packets.
int ClosedLoopbackPort(int* listening = nullptr) {
#ifdef _WIN32
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  using Socket = SOCKET;
  const auto closeSocket = [](Socket s) { closesocket(s); };
#else
  using Socket = int;
  const auto closeSocket = [](Socket s) { close(s); };
#endif
  const Socket s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
#ifndef _WIN32
  if (listening != nullptr && listen(s, 8) == 0) {
    *listening = s;
    return port;
  }
#endif
  closeSocket(s);
  return port;
}

ConnectionSettings ClosedServer(std::string driver, int* listening = nullptr) {
  const int port = ClosedLoopbackPort(listening);
  EXPECT_NE(0, port);
  return {.server = "127.0.0.1," + std::to_string(port),
          .database = "SizeDb",
          .user = "sa",
          .password = "p;w}d=1",
          .driver = std::move(driver)};
}

TEST(FreeTdsOdbcTest, AClosedPortFailsSoonWithTheClientsMessage) {
  auto owned = std::make_unique<OdbcConnection>(ClosedServer("FreeTDS"));
  const OdbcConnection* client = owned.get();
  SqlConnection connection(std::string(kSizeConnectionName), std::move(owned));
  SqlAccess access;
  access.Add(connection);
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("select 1");

  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const auto start = Clock::now();
    try {
      query.Open();
      FAIL() << "connected to a closed port";
    } catch (const SqlError& error) {
      const std::string message = error.what();
      EXPECT_NE(std::string::npos, message.find("[FreeTDS]")) << message;
      EXPECT_NE(std::string::npos, message.find("Unable to connect")) << message;
      // SQLSTATE 08001 / 08S01: the link could not be made.
      EXPECT_TRUE(error.ConnectionLost()) << error.SqlState();
      EXPECT_EQ(std::string::npos, message.find("p;w}d=1")) << message;
    }
    EXPECT_LT(Clock::now() - start, kPatience);
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_FALSE(query.IsOpen());
  }
  EXPECT_EQ("FreeTDS", client->DriverName());
  access.Remove(connection);
}

#ifndef _WIN32
// A server that accepts and never answers ends the connect within its
// deadline, whether the driver keeps its login timeout or the watchdog has
// to abandon it; Cancel (Ctrl+C, RefreshStructCancel) ends it at once.
TEST(FreeTdsOdbcTest, AnEndpointThatNeverAnswersEndsTheConnectAtItsDeadlineOrAtCancel) {
  int listener = -1;
  ConnectionSettings silent = ClosedServer("FreeTDS", &listener);
  silent.password = "pw";
  silent.loginTimeoutSeconds = 1;
  ASSERT_NE(-1, listener);
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
    OdbcConnection connection(silent);
    std::thread canceller;
    if (cancel) {
      canceller = std::thread([&connection] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        connection.Cancel();
      });
    }
    const auto start = Clock::now();
    try {
      connection.Connect();
      ADD_FAILURE() << "connected to a listener that never answers";
    } catch (const SqlError& error) {
      if (cancel) {
        EXPECT_TRUE(error.SqlState() == "HY008" || error.ConnectionLost()) << error.what();
      }
      EXPECT_EQ(std::string::npos, std::string(error.what()).find("pw")) << error.what();
    }
    if (canceller.joinable()) canceller.join();
    EXPECT_LT(Clock::now() - start, kPatience);
    EXPECT_FALSE(connection.IsConnected());
  }
  close(listener);
}
#endif

using testing::ScopedVariable;

TEST(FreeTdsOdbcTest, WithNoDriverNamedAnInstalledSqlServerDriverIsUsed) {
  ScopedVariable variable(kDriverVariable, nullptr);
  OdbcConnection connection(ClosedServer(""));
  const auto start = Clock::now();
  try {
    connection.Connect();
    FAIL() << "connected to a closed port";
  } catch (const SqlError& error) {
    if (connection.DriverName().empty()) {
      GTEST_SKIP() << "no SQL Server driver installed: " << error.what();
    }
    // Whichever driver was found, it tried the server and could not reach it.
    EXPECT_TRUE(error.ConnectionLost()) << error.SqlState() << " " << error.what();
  }
  EXPECT_LT(Clock::now() - start, kPatience);
  bool preferred = false;
  for (const auto name : kPreferredDrivers)
    preferred = preferred || connection.DriverName() == name;
  EXPECT_TRUE(preferred) << connection.DriverName();
  EXPECT_FALSE(connection.IsConnected());
}

}  // namespace
}  // namespace slotsync::sql
