/* Writes a Pascal program that holds bindings/pascal/slotsync.pas to the
 * layout of the C header: the size of each record and the offset of each of
 * its fields, as this compiler lays them out. The list of fields comes from
 * the header itself (slotsync_fields.h, made by tests/CMakeLists.txt), so a
 * field added on one side only fails the check: a missing Pascal field does
 * not compile, an extra one changes the size. */
#include <stddef.h>
#include <stdio.h>

#include "slotsync/slotsync.h"
#include "slotsync_fields.h"

int main(void) {
  int checks = 0;
  /* objfpc: there "@" on a procedural field gives the field's address; in
   * Delphi mode it would give the procedure it holds. */
  printf("program layout_check;\n{$MODE OBJFPC}\nuses slotsync;\n");
  printf("var failures: Integer = 0;\n");
  printf("procedure Check(const name: string; pascal, c: PtrUInt);\nbegin\n");
  printf("  if pascal <> c then begin\n");
  printf("    WriteLn('FAILED: ', name, ' is ', pascal, ' in Pascal, ', c, ' in C');\n");
  printf("    Inc(failures);\n  end;\nend;\nbegin\n");
#define SLOTSYNC_RECORD(type)                                                                 \
  printf("  Check('SizeOf(T%s)', SizeOf(T%s), %u);\n", #type, #type, (unsigned)sizeof(type)); \
  ++checks;
#define SLOTSYNC_FIELD(type, field)                                                        \
  printf("  Check('T%s.%s', PtrUInt(@P%s(nil)^.%s), %u);\n", #type, #field, #type, #field, \
         (unsigned)offsetof(type, field));                                                 \
  ++checks;
  SLOTSYNC_LAYOUT
  printf("  if failures > 0 then Halt(1);\n");
  printf("  WriteLn('pascal_layout: all %d checks passed');\nend.\n", checks);
  return 0;
}
