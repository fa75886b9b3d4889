// Where the device keeps the update file and the three configurations.  A
// test or demo build may set UPDATE_CFG_ROOT to move all of them under one
// folder; the installed build leaves it empty.
#pragma once

#ifndef UPDATE_CFG_ROOT
#define UPDATE_CFG_ROOT ""
#endif

#define UPDATE_FILE_PATH UPDATE_CFG_ROOT "/mnt/mtd/app/update.cfg"
// Locked for the run, flushed after the deletions.
#define UPDATE_FOLDER_PATH UPDATE_CFG_ROOT "/mnt/mtd/app"
#define CONFIG_PATH UPDATE_CFG_ROOT "/mnt/mtd/app/config.xml"
#define CONFIG_DEFAULT_PATH UPDATE_CFG_ROOT "/mnt/mtd/app/config.xml.default"
#define FACTORY_DEFAULT_PATH UPDATE_CFG_ROOT "/config/config.xml.default"

// Which stores took the update file's content, while the update file stays.
// The update's rollback removes it by this name.
#define UPDATE_PROGRESS_PATH UPDATE_CFG_ROOT "/mnt/mtd/app/update.cfg.progress"
#define UPDATE_PROGRESS_TEMP_PATH UPDATE_PROGRESS_PATH ".tmp"
