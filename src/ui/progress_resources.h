#ifndef SLOTSYNC_UI_PROGRESS_RESOURCES_H
#define SLOTSYNC_UI_PROGRESS_RESOURCES_H

/* Resource ids of the progress window, shared by the resource script and the
 * C++ code; plain C preprocessor only, since windres reads it too. */

/* Our own looping search clip, an "AVI" resource of the module. */
#define SLOTSYNC_SEARCH_CLIP 1001

#endif
