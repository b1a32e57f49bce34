#pragma once

// The one way into <windows.h>: without these two, windows.h defines min and
// max as macros, which break std::min and std::max, and pulls in far more of
// the API than the library uses.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
