/* What the end-to-end host programs (tests/e2e/e2e_host.c on Linux,
 * tests/win32/wine_e2e_host.c under Wine) print from the library's
 * callbacks, one item a line, in one form, so that the tests hold both to the
 * same expectations. */
#ifndef SLOTSYNC_TESTS_HOST_OUTPUT_H
#define SLOTSYNC_TESTS_HOST_OUTPUT_H

#include <stdio.h>

#include "slotsync/slotsync.h"

/* Texts may hold line breaks (a message with several diagnostics); they are
 * printed escaped so that one item stays one line. GBK bytes go out as they
 * are. */
static void PrintText(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\n') {
      fputs("\\n", stdout);
    } else if (*text == '\r') {
      fputs("\\r", stdout);
    } else if (*text == '\\') {
      fputs("\\\\", stdout);
    } else {
      putchar(*text);
    }
  }
  putchar('\n');
}

/* The callbacks are __stdcall on 32-bit x86: a mismatch with the DLL would
 * unbalance the stack at the first call, which the run would not survive. */
static void SLOTSYNC_CALL OnStatement(void* context, const char* statement, int outcome) {
  (void)context;
  printf("statement %d ", outcome);
  PrintText(statement);
}

static void SLOTSYNC_CALL OnProgress(void* context, int event, const char* text) {
  (void)context;
  printf("progress %d ", event);
  PrintText(text);
}

/* Answers OK (1), as a user closing the box would. */
static int SLOTSYNC_CALL OnNotice(void* context, const char* caption, const char* text,
                                  unsigned flags) {
  (void)context;
  (void)caption;
  printf("notice %u ", flags);
  PrintText(text);
  return 1;
}

#endif /* SLOTSYNC_TESTS_HOST_OUTPUT_H */
