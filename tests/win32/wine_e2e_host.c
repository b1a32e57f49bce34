/* The Windows twin of tests/e2e/e2e_host.c: a host program that loads
 * slotsync.dll at run time, calls RefreshStructEx with the four texts and the
 * options from its command line and prints what came back, one item a line,
 * in the same form as the Linux host, so that the Linux side
 * (tests/e2e/wine_e2e.cpp) can hold both to the same expectations:
 *
 *   statement <outcome> <text>   every statement, from onStatement (--trace)
 *   progress <event> <text>      from onProgress
 *   notice <flags> <text>        from onNotice (answered OK)
 *   outcome <n>                  the returned SlotsyncOutcome
 *   result <fields...>           the SlotsyncResult
 *   message <text>               RefreshStructLastError, when not empty
 *
 * Usage: wine_e2e_host SERVER DATABASE USER PASSWORD [--dry-run] [--trace]
 * Exits 0 when the DLL loaded and the call returned with a result block that
 * agrees with the returned outcome and the last error, 1 when they disagree,
 * 2 when the DLL or its functions could not be had. The outcome itself is for
 * the caller to judge.
 *
 * Built with SLOTSYNC_LINKED it is linked against an import library instead,
 * as a host built with the release archive is, and Windows loads the DLL at
 * its start. */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "host_output.h"
#include "slotsync/slotsync.h"

typedef int(SLOTSYNC_CALL* RefreshStructExFunction)(const char*, const char*, const char*,
                                                    const char*, const SlotsyncOptions*,
                                                    SlotsyncResult*);
typedef const char*(SLOTSYNC_CALL* TextFunction)(void);

/* GetProcAddress returns a generic function pointer; going through
 * void (*)(void) tells the compiler the type change is meant. */
typedef void (*AnyFunction)(void);

int main(int argc, char** argv) {
  SlotsyncOptions options;
  SlotsyncResult result;
#ifndef SLOTSYNC_LINKED
  HMODULE dll;
#endif
  RefreshStructExFunction refreshEx;
  TextFunction lastError;
  const char* message;
  int outcome;
  int agrees;
  int i;

  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  for (i = 5; i < argc; ++i) {
    if (strcmp(argv[i], "--dry-run") == 0) {
      options.dryRun = 1;
    } else if (strcmp(argv[i], "--trace") == 0) {
      options.onStatement = OnStatement;
    } else {
      break;
    }
  }
  if (argc < 5 || i != argc) {
    fprintf(stderr, "usage: wine_e2e_host SERVER DATABASE USER PASSWORD [--dry-run] [--trace]\n");
    return 2;
  }
  /* Lines end in "\n" alone, as on the Linux host, and the bytes of GBK
   * texts pass unchanged. */
  _setmode(_fileno(stdout), _O_BINARY);

#ifdef SLOTSYNC_LINKED
  refreshEx = RefreshStructEx;
  lastError = RefreshStructLastError;
#else
  dll = LoadLibraryW(L"slotsync.dll");
  if (dll == NULL) {
    fprintf(stderr, "LoadLibrary(slotsync.dll) failed: %lu\n", (unsigned long)GetLastError());
    return 2;
  }
  refreshEx = (RefreshStructExFunction)(AnyFunction)GetProcAddress(dll, "RefreshStructEx");
  lastError = (TextFunction)(AnyFunction)GetProcAddress(dll, "RefreshStructLastError");
  if (refreshEx == NULL || lastError == NULL) {
    fprintf(stderr, "slotsync.dll lacks RefreshStructEx or RefreshStructLastError\n");
    return 2;
  }
#endif

  /* The callbacks replace the progress window and the message box, so the
   * run needs no desktop and everything it shows ends up in the output. */
  options.onProgress = OnProgress;
  options.onNotice = OnNotice;
  memset(&result, 0, sizeof result);
  result.size = sizeof result;

  outcome = refreshEx(argv[1], argv[2], argv[3], argv[4], &options, &result);
  printf("outcome %d\n", outcome);
  printf("result slotCount=%d slotColumns=%d flaggedRows=%d rebuiltTables=%d", result.slotCount,
         result.slotColumns, result.flaggedRows, result.rebuiltTables);
  if (result.hasFailedTableTag) printf(" failedTableTag=%d", result.failedTableTag);
  printf("\n");
  message = lastError();
  if (message[0] != '\0') {
    printf("message ");
    PrintText(message);
  }
  fflush(stdout);

  agrees = result.outcome == outcome;
  /* The block holds the message cut to its size; the last error is whole. */
  agrees = agrees && strncmp(result.message, message, strlen(result.message)) == 0;
#ifndef SLOTSYNC_LINKED
  if (!FreeLibrary(dll)) {
    fprintf(stderr, "FreeLibrary failed: %lu\n", (unsigned long)GetLastError());
    return 2;
  }
#endif
  if (!agrees) {
    fprintf(stderr, "the result block disagrees with the outcome or the last error\n");
    return 1;
  }
  return 0;
}
