// The functions the host application finds in the shared library. Nothing
// may leave them as an exception: every failure is caught here and recorded.

#include "slotsync/slotsync.h"

extern "C" {

SLOTSYNC_API const char* SLOTSYNC_CALL SlotsyncVersion(void) {
  return SLOTSYNC_VERSION_TEXT;
}

}  // extern "C"
