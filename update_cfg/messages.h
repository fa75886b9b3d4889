// Every line the tool prints.  Scripts on the device read them, so the texts
// stay byte for byte, odd blanks included.
#pragma once

#define MSG_MAIN_ENTER "main enter"
#define MSG_UPDATE_NOT_REGULAR "%s is not a regular file, ignored\n"
#define MSG_OPEN_FAILED "open %s  failed!\n"
#define MSG_READ_FAILED "read %s  failed!\n"
#define MSG_UPDATE_CHANGED "%s changed during the run\n"
#define MSG_ALREADY_UPDATED "%s has this update already, skipped\n"
#define MSG_SAVE_FAILED "save %s  failed!\n"
#define MSG_RECORD_FAILED "write %s  failed!\n"
#define MSG_FLUSH_FAILED "flush %s  failed!\n"
#define MSG_DELETE_FAILED "delete %s  failed!\n"
#define MSG_KEEP_UPDATE "keep %s for the next run\n"
#define MSG_RUN_WAITING "another run is using %s, waiting\n"
#define MSG_RUN_LEFT "another run is still using %s, leaving the update to it\n"
#define MSG_VALUE "value  = [%s] len = %d\n"
#define MSG_ENTRY_TOO_LONG "entry too long, skipped: [%s]\n"
#define MSG_BAD_HANDLE "m_fd <= 0!!!!!!"
#define MSG_SET_VALUE "SetValueToConfig value = %s, len = %d\n"
#define MSG_WRITE_FAILED "write config value failed , entry = %s\n"
