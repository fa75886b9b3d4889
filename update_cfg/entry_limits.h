// Buffer sizes of the update file format, terminating zero included, and of
// the progress record; how long a run waits for another.
#pragma once

#include <limits.h>

enum {
    LINE_SIZE = 256,        // one line of the update file: at most 255 characters
    ENTRY_PART_SIZE = 64,   // a section, key or value: at most 63 characters
    ENTRY_PATH_SIZE = 256,  // "DVR_CFG.<section>.<key>"
    // Its header (about 70 bytes: the update's size and digest), the paths of
    // the three stores, each shorter than PATH_MAX, and its check line.
    PROGRESS_RECORD_SIZE = 3 * PATH_MAX + 128,
    // How long a run waits for another one to end before it leaves the
    // update to that one: far longer than a run over three large files takes
    // on a device, short enough for a boot script.
    RUN_WAIT_SECONDS = 10,
};

#define ENTRY_PATH_ROOT "DVR_CFG"
