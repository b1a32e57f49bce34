/* A program built against an installed slotsync, once through
 * find_package(slotsync) and once through pkg-config (install_test.sh):
 * one run with the four texts from its command line. */
#include <slotsync/slotsync.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  SlotsyncOptions options;
  SlotsyncResult result;
  int outcome;
  if (argc != 5) return 2;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  memset(&result, 0, sizeof result);
  result.size = sizeof result;
  outcome = RefreshStructEx(argv[1], argv[2], argv[3], argv[4], &options, &result);
  printf("slotsync %s: outcome %d, N=%d, m=%d%s%s\n", SlotsyncVersion(), outcome, result.slotCount,
         result.slotColumns, result.message[0] != '\0' ? ": " : "", result.message);
  return 0;
}
