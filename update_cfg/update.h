// update_cfg: writes the settings of the update file into the device's three
// configuration files, then consumes the update file.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

#include "entry_limits.h"
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
    // One pass: applies every entry of the update file to target_file, unless
    // the progress record says it took this update already.  The first pass
    // opens the update file; every pass reads it from its first line.  A store
    // counts as failed when it exists but does not open (handle <= 0), when
    // the update file cannot be read to its end or changed, or when the save
    // fails; it is then closed without a save.  Always 0; what went wrong is
    // printed.
    int update(const char *target_file);
    // After the passes: deletes the update file and the progress record once
    // every store that exists took the update (at least one), after flushing
    // their folders; otherwise keeps both for the next run.
    void finish();

  private:
    char *strcpy_s(char *d, const char *s, unsigned l);

    void open_update_file();
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
    FILE *m_update_fd = nullptr;

    enum class UpdateFile { unopened, absent, unusable, open };
    UpdateFile m_update_state = UpdateFile::unopened;
    struct stat m_update_stat = {};  // the update file as opened
    ProgressRecord m_record;
    bool m_record_saved = true;  // the record on disk names every store m_record names
    int m_took = 0;              // stores that hold the update, from this run or before
    bool m_failed = false;       // a store that exists did not take it
    char m_folders[STORE_FOLDERS][PATH_MAX] = {};  // of the stores that hold it
};
