// Changes to the device's flash that a power cut cannot tear.
#pragma once

#include <stddef.h>

// The folder that holds path, into folder (capacity size).  False when it
// does not fit.
bool folder_of(const char *path, char *folder, size_t size);
// Flushes a folder, so that a rename or deletion in it outlives a power cut.
bool flush_folder(const char *folder);

// Puts data at path so that a power cut leaves either the old file or the new
// one: written to temporary, flushed, renamed over path, folder flushed.  On
// failure no temporary file remains.
bool replace_file(const char *path, const char *temporary, const char *data, size_t length);
