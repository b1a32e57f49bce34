// The functions the host application finds in the shared library. Nothing
// may leave them as an exception: every failure is caught and recorded.

#include "entry/public_api.h"
#include "entry/run_cancel.h"
#include "slotsync/slotsync.h"

extern "C" {

SLOTSYNC_API void SLOTSYNC_CALL RefreshStruct(const char* server, const char* database,
                                              const char* user, const char* password) {
  slotsync::entry::RefreshStructWith(server, database, user, password, nullptr, nullptr);
}

SLOTSYNC_API int SLOTSYNC_CALL RefreshStructEx(const char* server, const char* database,
                                               const char* user, const char* password,
                                               const SlotsyncOptions* options,
                                               SlotsyncResult* result) {
  return slotsync::entry::RefreshStructWith(server, database, user, password, options, result);
}

SLOTSYNC_API const char* SLOTSYNC_CALL RefreshStructLastError(void) {
  return slotsync::entry::LastError();
}

SLOTSYNC_API int SLOTSYNC_CALL RefreshStructCancel(void) {
  try {
    return slotsync::entry::CancelRunInProgress() ? 1 : 0;
  } catch (...) {
    // Only a failed mutex lock can get here; the run goes on uncancelled.
    return 0;
  }
}

SLOTSYNC_API const char* SLOTSYNC_CALL SlotsyncVersion(void) {
  return SLOTSYNC_VERSION_TEXT;
}

}  // extern "C"
