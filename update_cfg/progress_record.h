// The record of which stores took an update file's content.  It lets a run
// that keeps the update file for later skip those stores next time, so that a
// setting changed after the update is not set back.  It is tied to the
// content (size and FNV-1a digest), never to the name: a record that is torn,
// stale or written for other content counts as empty, so it can never make a
// store miss an update it did not take.
//
//   update_cfg progress 1
//   update <size> <digest>
//   <path of a store that took it>        one line each
//   check <FNV-1a of the lines above>
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "entry_limits.h"

class ProgressRecord {
  public:
    // An empty record for the update file read from the stream's position to
    // its end.  False on a read error.
    bool start(FILE *update);
    // Takes the stores of the record at path if it is whole and belongs to
    // this update.
    void load(const char *path);
    bool holds(const char *store) const;
    // There is room for three stores of any length a path can have.  One
    // that does not fit is left out: it then counts as not holding the
    // update, which at worst applies the update to it once more.
    void add(const char *store);
    // Written durably through temporary.
    bool save(const char *path, const char *temporary);

  private:
    char m_text[PROGRESS_RECORD_SIZE] = {};  // every line; the check only while saving
    size_t m_length = 0;
    size_t m_header_length = 0;
};
