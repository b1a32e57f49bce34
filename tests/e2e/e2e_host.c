/* A host program for the end-to-end tests: it loads the shared library at
 * run time, as the application does, calls RefreshStructEx with the four
 * texts from its command line and prints what came back, one item a line,
 * for the tests to compare:
 *
 *   statement <outcome> <text>   every statement, from onStatement
 *   progress <event> <text>      from onProgress
 *   notice <flags> <text>        from onNotice (answered OK)
 *   outcome <n>                  the returned SlotsyncOutcome
 *   result <fields...>           the SlotsyncResult
 *   message <text>               RefreshStructLastError, when not empty
 *
 * Usage: e2e_host LIBRARY SERVER DATABASE USER PASSWORD [--dry-run | --plan]
 * E2E_HOST_LANGUAGE, when set, is SlotsyncOptions.language.
 * E2E_HOST_SECOND_DRIVER, when set, is put into SLOTSYNC_ODBC_DRIVER after
 * the call, and the same call is made once more in the same process.
 * Exits 0 when the library loaded and the call returned with a result block
 * that agrees with the returned outcome and the last error; the outcome
 * itself is for the caller to judge. */
#include <dlfcn.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_output.h"
#include "slotsync/slotsync.h"

typedef int (*RefreshStructExFn)(const char*, const char*, const char*, const char*,
                                 const SlotsyncOptions*, SlotsyncResult*);
typedef const char* (*LastErrorFn)(void);

/* One call with the texts of the command line, its outcome, result and
 * message printed; 1 when the result block agrees with the returned outcome
 * and the last error. */
static int Call(RefreshStructExFn refreshEx, LastErrorFn lastError, char** argv,
                const SlotsyncOptions* options) {
  SlotsyncResult result;
  memset(&result, 0, sizeof result);
  result.size = sizeof result;
  const int outcome = refreshEx(argv[2], argv[3], argv[4], argv[5], options, &result);
  printf("outcome %d\n", outcome);
  printf("result slotCount=%d slotColumns=%d flaggedRows=%d rebuiltTables=%d", result.slotCount,
         result.slotColumns, result.flaggedRows, result.rebuiltTables);
  if (result.hasFailedTableTag) printf(" failedTableTag=%d", result.failedTableTag);
  printf("\n");
  const char* message = lastError();
  if (message[0] != '\0') {
    printf("message ");
    PrintText(message);
  }
  fflush(stdout);
  /* The block holds the message cut to its size; the last error is whole. */
  return result.outcome == outcome && strncmp(result.message, message, strlen(result.message)) == 0;
}

int main(int argc, char** argv) {
  const int dryRun = argc == 7 && strcmp(argv[6], "--dry-run") == 0;
  const int plan = argc == 7 && strcmp(argv[6], "--plan") == 0;
  if (argc != 6 && !dryRun && !plan) {
    fprintf(stderr, "usage: e2e_host LIBRARY SERVER DATABASE USER PASSWORD [--dry-run | --plan]\n");
    return 2;
  }
  /* A driver with only the narrow ODBC calls gets its texts from unixODBC in
   * the code set of the locale, as for any program that sets it. */
  setlocale(LC_ALL, "");
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 2;
  }
  RefreshStructExFn refreshEx;
  LastErrorFn lastError;
  *(void**)(&refreshEx) = dlsym(library, "RefreshStructEx");
  *(void**)(&lastError) = dlsym(library, "RefreshStructLastError");
  if (refreshEx == NULL || lastError == NULL) {
    fprintf(stderr, "the library lacks RefreshStructEx or RefreshStructLastError\n");
    return 2;
  }

  SlotsyncOptions options;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.dryRun = dryRun;
  options.plan = plan;
  options.onStatement = OnStatement;
  options.onProgress = OnProgress;
  options.onNotice = OnNotice;
  /* The language a host asks for, as the application would from its own UI. */
  options.language = getenv("E2E_HOST_LANGUAGE");

  int agrees = Call(refreshEx, lastError, argv, &options);
  const char* secondDriver = getenv("E2E_HOST_SECOND_DRIVER");
  if (secondDriver != NULL) {
    setenv("SLOTSYNC_ODBC_DRIVER", secondDriver, 1);
    agrees = Call(refreshEx, lastError, argv, &options) && agrees;
  }
  if (dlclose(library) != 0) {
    fprintf(stderr, "dlclose: %s\n", dlerror());
    return 2;
  }
  if (!agrees) {
    fprintf(stderr, "the result block disagrees with the outcome or the last error\n");
    return 1;
  }
  return 0;
}
