#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "command.h"

namespace slotsync::cli {

Terminal StandardStreams() {
  Terminal t;
  t.in = &std::cin;
  t.out = &std::cout;
  t.err = &std::cerr;
  t.inIsTerminal = isatty(STDIN_FILENO) == 1;
  t.errIsTerminal = isatty(STDERR_FILENO) == 1;
  t.getEnv = [](const char* name) { return std::getenv(name); };
  t.readSecret = [](const std::string& prompt) {
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool haveTerminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTerminal) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (haveTerminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << '\n';
    return line;
  };
  return t;
}

}  // namespace slotsync::cli
