/* A host program as the application would be: it loads the shared library at
 * run time, finds RefreshStruct by name and calls it against a server that
 * refuses the connection. The call must return, record the failure, and
 * leave nothing behind; RefreshStructEx must say the run could not start. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "slotsync/slotsync.h"

typedef void (*RefreshStructFn)(const char*, const char*, const char*, const char*);
typedef int (*RefreshStructExFn)(const char*, const char*, const char*, const char*,
                                 const SlotsyncOptions*, SlotsyncResult*);
typedef const char* (*LastErrorFn)(void);
typedef int (*CancelFn)(void);

static int failures = 0;

static void check(int ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++failures;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: dlopen_host LIBRARY SERVER\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  /* The POSIX way to take a function from dlsym without a pedantic cast. */
  RefreshStructFn refresh;
  RefreshStructExFn refreshEx;
  LastErrorFn lastError;
  CancelFn cancel;
  *(void**)(&refresh) = dlsym(library, "RefreshStruct");
  *(void**)(&refreshEx) = dlsym(library, "RefreshStructEx");
  *(void**)(&lastError) = dlsym(library, "RefreshStructLastError");
  *(void**)(&cancel) = dlsym(library, "RefreshStructCancel");
  check(refresh != NULL && refreshEx != NULL && lastError != NULL && cancel != NULL,
        "exports found by name");
  check(dlsym(library,
              "_ZN8slotsync5entry14RunRestructureERKNS0_19ConnectionArgumentsERKNS0_"
              "15RunDependenciesE") == NULL,
        "internal symbols stay hidden");
  if (failures) return 1;

  check(cancel() == 0, "a cancel with no run in progress does nothing");
  refresh(argv[2], "Shop", "sa", "secret");
  check(strlen(lastError()) > 0 && strstr(lastError(), "interrupted") == NULL,
        "a refused connection is recorded, not cancelled");
  printf("last error: %s\n", lastError());

  SlotsyncResult result;
  memset(&result, 0, sizeof result);
  result.size = sizeof result;
  SlotsyncOptions options;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  int outcome = refreshEx(argv[2], "Shop", "sa", "secret", &options, &result);
  check(outcome == SLOTSYNC_FAILED_BEFORE_TRANSACTION, "outcome: failed before the transaction");
  check(result.outcome == outcome && strcmp(result.message, lastError()) == 0,
        "result block filled");

  outcome = refreshEx(NULL, "Shop", "sa", "secret", NULL, NULL);
  check(outcome == SLOTSYNC_BAD_ARGUMENTS, "a NULL argument is refused");

  check(dlclose(library) == 0, "library unloads");
  return failures == 0 ? 0 : 1;
}
