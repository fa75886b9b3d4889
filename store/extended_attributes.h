// A save writes a new file and renames it over the old one; the old file's
// extended attributes (SELinux labels, POSIX ACLs, user attributes) would go
// with it unless they are copied to the new file before the rename.
#pragma once

namespace xml_store {

// Copies every extended attribute of the file open at from to the file open
// at to, keeping the ones to already has.  An attribute that the file system
// or the process may not set (EPERM, ENOTSUP: a "trusted." one without
// CAP_SYS_ADMIN, "security." on a file system without labels) is left out.
// Returns false, with errno, when listing, reading or setting fails otherwise;
// attributes copied before the failure stay on to.
bool copy_extended_attributes(int from, int to);

}  // namespace xml_store
