// Buffer sizes of the update file format, terminating zero included.
#pragma once

enum {
    LINE_SIZE = 256,        // one line of the update file: at most 255 characters
    ENTRY_PART_SIZE = 64,   // a section, key or value: at most 63 characters
    ENTRY_PATH_SIZE = 256,  // "DVR_CFG.<section>.<key>"
};

#define ENTRY_PATH_ROOT "DVR_CFG"
