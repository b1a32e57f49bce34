/* The Windows test programs' checks: GoogleTest is not there for mingw.
 * Every failed check prints a "FAILED" line and the program goes on; the
 * last line, "<name>: all N checks passed", is printed only when none failed.
 * The runner looks for that line: under Wine a program can exit 0 without
 * having run at all (a 32-bit one on a 64-bit-only Wine prints "wine32 is
 * missing" and exits 0). */
#ifndef SLOTSYNC_TESTS_WIN32_CHECK_H
#define SLOTSYNC_TESTS_WIN32_CHECK_H

#include <stdio.h>

static int slotsync_checks;
static int slotsync_failures;

static inline int slotsync_check(int passed, const char* what, const char* file, int line) {
  ++slotsync_checks;
  if (!passed) {
    ++slotsync_failures;
    printf("FAILED %s:%d: %s\n", file, line, what);
    fflush(stdout);
  }
  return passed;
}

/* Evaluates to whether the check passed, so a test can stop early. */
#define CHECK(condition) slotsync_check((condition) ? 1 : 0, #condition, __FILE__, __LINE__)

/* The closing line, and the program's exit code. */
static inline int slotsync_finish(const char* name) {
  if (slotsync_failures == 0) {
    printf("%s: all %d checks passed\n", name, slotsync_checks);
  } else {
    printf("%s: %d of %d checks FAILED\n", name, slotsync_failures, slotsync_checks);
  }
  fflush(stdout);
  return slotsync_failures == 0 ? 0 : 1;
}

#endif
