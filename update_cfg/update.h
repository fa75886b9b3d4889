// update_cfg: writes the settings of the update file into the device's three
// configuration files, then consumes the update file.
#pragma once

#include <cstdio>

class update_cfg {
  public:
    update_cfg() {}
    ~update_cfg() {}

    // Reads on to the next entry "section.key=value" of the open update file
    // and fills the three buffers.  0 for an entry, -1 at the end of the file
    // or on a read error.  Comments, malformed and overlong lines are skipped.
    int read_entry(char *pSection, int sec_len, char *pKey, int key_len, char *pValue,
                   int value_len);
    // Writes one entry into the open store under "DVR_CFG.section.key".
    // 1 when the store took it, 0 otherwise.
    int SetValueToConfig(const char *pSection, const char *pKey, char *pValue);
    // One pass: applies every entry of the update file to target_file.
    // Always 0; what went wrong is printed.
    int update(const char *target_file);
    // After the passes: deletes the update file once it reached the stores,
    // else keeps it for the next run.
    void finish();

  private:
    char *strcpy_s(char *d, const char *s, unsigned l);

    // Set so that a writer called outside a pass meets "no store", not an
    // indeterminate handle.
    int m_config_fd = 0;
    FILE *m_update_fd = nullptr;

    // What the passes met, for finish().
    bool m_update_opened = false;
    int m_saved = 0;
    bool m_save_failed = false;
};
