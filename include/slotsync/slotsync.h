/* slotsync: brings the size-slot columns of an order, stock and invoicing
 * database in line with its size groups.
 *
 * All texts crossing this interface are 8-bit strings in the GBK code page
 * (code page 936), zero-terminated. */
#ifndef SLOTSYNC_SLOTSYNC_H
#define SLOTSYNC_SLOTSYNC_H

#if defined(_WIN32)
#if defined(SLOTSYNC_BUILDING_LIBRARY)
#define SLOTSYNC_API __declspec(dllexport)
#else
#define SLOTSYNC_API __declspec(dllimport)
#endif
#define SLOTSYNC_CALL __stdcall
#else
#define SLOTSYNC_API __attribute__((visibility("default")))
#define SLOTSYNC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version as "MAJOR.MINOR.PATCH"; the text is static. */
SLOTSYNC_API const char* SLOTSYNC_CALL SlotsyncVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* SLOTSYNC_SLOTSYNC_H */
