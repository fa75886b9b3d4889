// One run of the tool at a time.  Two runs at once (a boot script and a
// Mender install, or two boot scripts) would interleave their passes: each
// saves stores the other opened, each renames the other's progress record
// away, and one deletes the update file while the other's record of it stays
// behind for the next update of the same content to trust.
//
// The lock is an exclusive flock on the folder that holds the update file.
// It lives on the open folder, not in a file of its own: a power cut or a
// killed run cannot leave a stale lock behind (a pid file could name a
// process that is long gone, or another one with its number), and nothing
// new is written to the device's flash.  The folder, not the update file,
// because each update comes as a new file at that path.  It needs nothing
// but the C library.
#pragma once

// Takes the lock on folder without waiting: the descriptor that holds it,
// kept until it is closed or the process ends; -1 with busy set when another
// run holds it; -1 with busy clear when it cannot be taken at all (no such
// folder, a file system without locks).
int lock_folder(const char *folder, bool &busy);
