#include "ui/console_progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "text/gbk.h"

namespace slotsync::ui {
namespace {

using std::chrono::milliseconds;

// "正在重构数据库" in GBK.
const std::string kGbkPrompt = "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2";

std::size_t Count(const std::string& text, char c) {
  std::size_t n = 0;
  for (const char t : text) n += t == c ? 1 : 0;
  return n;
}

TEST(ConsoleProgress, OutsideATerminalWritesOnePlainLineWhenShown) {
  std::ostringstream out;
  {
    auto view = MakeConsoleProgressView(out, false, milliseconds(1));
    view->SetPrompt("Rebuilding");
    view->StartAnimation();
    EXPECT_EQ("", out.str());  // nothing before it is shown
    view->Show();
    view->Show();
    view->RepaintNow();
    view->SetPrompt("Other");
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_EQ("slotsync: Rebuilding\n", out.str());
}

TEST(ConsoleProgress, NeverShownWritesNothing) {
  std::ostringstream terminal;
  std::ostringstream file;
  {
    auto a = MakeConsoleProgressView(terminal, true, milliseconds(1));
    auto b = MakeConsoleProgressView(file, false, milliseconds(1));
    a->SetPrompt("x");
    a->StartAnimation();
    b->SetPrompt("x");
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_EQ("", terminal.str());
  EXPECT_EQ("", file.str());
}

TEST(ConsoleProgress, OnATerminalTheSpinnerTurnsByItselfAndTheLineIsCleared) {
  std::ostringstream out;
  {
    auto view = MakeConsoleProgressView(out, true, milliseconds(2));
    view->SetPrompt("Rebuilding");
    view->StartAnimation();
    view->Show();
    view->RepaintNow();
    // The caller does nothing now, as the run does while it rebuilds.
    std::this_thread::sleep_for(milliseconds(100));
  }
  const std::string text = out.str();
  EXPECT_EQ(0u, text.find("\r| Rebuilding\x1b[K"));
  EXPECT_NE(std::string::npos, text.find("\r/ Rebuilding\x1b[K"));
  EXPECT_NE(std::string::npos, text.find("\r- Rebuilding\x1b[K"));
  EXPECT_GE(Count(text, '\r'), 5u);
  EXPECT_EQ(0u, Count(text, '\n'));  // one line, redrawn in place
  // Destroyed: the line is cleared, and nothing is written after that.
  EXPECT_EQ("\r\x1b[K", text.substr(text.size() - 4));
}

TEST(ConsoleProgress, NewPromptReplacesTheLineInTheTerminalsEncoding) {
  std::ostringstream out;
  {
    auto view = MakeConsoleProgressView(out, true, std::chrono::hours(1));
    view->Show();
    view->SetPrompt(kGbkPrompt);
  }
  EXPECT_EQ("\r| \x1b[K\r| " + text::GbkToTerminal(kGbkPrompt) + "\x1b[K\r\x1b[K", out.str());
}

TEST(ConsoleProgress, SpinnerWaitsForBothShowAndAnimation) {
  std::ostringstream out;
  {
    auto view = MakeConsoleProgressView(out, true, milliseconds(1));
    view->SetPrompt("p");
    view->Show();
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ("\r| p\x1b[K", out.str());  // shown, but not animated yet
  }
}

}  // namespace
}  // namespace slotsync::ui
