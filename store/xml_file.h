/*
 * Configuration store: settings kept in an XML file, addressed by entry
 * paths such as "DVR_CFG.NET.IP".
 *
 * An entry path names an element chain from the document's root: its first
 * component is the root element's name, every further component the first
 * child element of that name.  A value is the text content of the last
 * element.  Missing elements are created on write.
 *
 * The library is not thread-safe: every call must come from one thread.
 * Several stores may be open at once, each under its own handle.
 */
#ifndef XML_FILE_H
#define XML_FILE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the configuration file at path and returns a positive handle, or 0
 * when the file is missing, unreadable, not a regular file, empty, not
 * well-formed XML or without a root element. */
int xml_file_open(const char *path);

/* Sets the text of the element named by entry to value.  len is the value's
 * length in bytes including its terminating zero.  The last two arguments are
 * reserved and ignored.  Returns 0 on success; non-zero, changing nothing, for
 * an unknown handle, a len that is not strlen(value) + 1, an entry path that is
 * empty, has an empty component or one that is not an XML name, a first
 * component other than the root element's name, an element that has child
 * elements, a new element under one that holds a value, and a value that is
 * not UTF-8 or holds a control character other than tab. */
int xml_file_write(int handle, char *value, int len, const char *entry, int, int);

/* Writes the store back to the file it was opened from, atomically and
 * durably.  Leaves the file alone when nothing changed.  Returns 0 on
 * success; non-zero on failure, with the file as it was before.  A file that
 * someone else rewrote since the open is not overwritten: that save fails. */
int xml_file_save(int handle);

/* Releases the handle without saving.  Returns 0, or non-zero for an unknown
 * handle. */
int xml_file_close(int handle);

#ifdef __cplusplus
}
#endif

#endif
