#pragma once

// How the command names a flagged table's kind, in its lines, its JSON and
// its scripts alike.

#include "slotsync/slotsync.h"

namespace slotsync::cli {

inline const char* KindName(int kind) {
  switch (kind) {
    case SLOTSYNC_TABLE_DETAIL:
      return "detail";
    case SLOTSYNC_TABLE_PER_TERMINAL:
      return "per-terminal";
    default:
      return "none";  // TableTags 27 and 35, which the run skips
  }
}

}  // namespace slotsync::cli
