// update_cfg: writes the settings of the update file into the device's three
// configuration files, then consumes the update file.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

#include "progress_record.h"

class update_cfg {
  public:
    update_cfg() {}
    // Releases nothing: finish() closes the update file.  (A destructor with
    // work to do would give main an unwinding path, and the tool would need
    // the C++ runtime.)
    ~update_cfg() {}

    // Reads on to the next entry "section.key=value" of the open update file
    // and fills the three buffers.  0 for an entry, -1 at the end of the file
    // or on a read error.  Comments, malformed and overlong lines and lines
    // holding a NUL byte are skipped.
    int read_entry(char *pSection, int sec_len, char *pKey, int key_len, char *pValue,
                   int value_len);
    // Writes one entry into the open store under "DVR_CFG.section.key".
    // 1 when the store took it, 0 otherwise (also for a handle <= 0).
    int SetValueToConfig(const char *pSection, const char *pKey, char *pValue);
    // Before the passes: opens the update file, the one every pass reads, and
    // reads the progress record of its content.  A file that is there but
    // cannot be read is said to be kept, and every pass returns at once.
    void open_update_file();
    // One pass: applies every entry of the update file to target_file, unless
    // the progress record says it took this update already.  Every pass reads
    // the update file from its first line.  A store counts as failed when it
    // exists but does not open (handle <= 0), when the update file cannot be
    // read to its end or changed (the store is then closed without a save),
    // or when its save fails.  Always 0; what went wrong is printed.
    int update(const char *target_file);
    // After the passes: deletes the update file and the progress record once
    // every store that exists took the update (at least one), after flushing
    // their folders; otherwise keeps both for the next run.
    void finish();

  private:
    char *strcpy_s(char *d, const char *s, unsigned l);

    bool rewind_update_file();
    // True when the pass may save: the whole file read, and unchanged.
    bool read_whole_update();
    void took_update(const char *target_file);
    void save_record();
    bool flush_store_folders();
    bool delete_update_file();

    // Set so that a writer called outside a pass meets "no store", not an
    // indeterminate handle.
    int m_config_fd = 0;
    FILE *m_update_fd = nullptr;  // null: no update file to apply

    struct stat m_update_stat = {};  // the update file as opened
    ProgressRecord m_record;         // the stores that hold the update
    bool m_record_saved = true;      // the record on disk names every store m_record names
    bool m_failed = false;           // a store that exists did not take it
};
