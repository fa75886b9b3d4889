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
 * when the file is missing, unreadable, not a regular file, larger than
 * 64 MiB, empty, not well-formed XML, without a root element, or in an
 * encoding whose markup is not ASCII (UTF-16, UTF-32).  The file is read
 * whole and its path resolved now, symbolic links included: later calls act
 * on this file whatever the working folder becomes. */
int xml_file_open(const char *path);

/* Sets the text of the element named by entry to value.  len is the value's
 * length in bytes including its terminating zero.  The last two arguments are
 * reserved and ignored.  Returns 0 on success; non-zero, changing nothing, for
 * an unknown handle, a len that is not strlen(value) + 1, an entry path that is
 * empty, has an empty component or one that is not an XML name, or has more
 * than 128 components, a first component other than the root element's name,
 * an element that has child elements, a new element under one that holds a
 * value, and a value that is neither UTF-8 nor valid in the encoding the
 * file declares, or holds a control character other than tab.  Values and
 * entry paths that are not UTF-8 are taken as in the file's encoding; what
 * goes into the file is in that encoding, a character it lacks written as a
 * character reference.  A write that fails for want of memory also changes
 * nothing, and every later save of the handle fails: the store must not look
 * updated when part of an update is missing. */
int xml_file_write(int handle, char *value, int len, const char *entry, int, int);

/* Writes the store back to the file it was opened from, atomically and
 * durably: a temporary file beside it, flushed, renamed over it, then the
 * folder flushed.  Leaves the file alone when its bytes would not change.
 * Returns 0 on success.  Non-zero, writing nothing, when the file is no longer
 * the one opened or last saved through this handle (someone else rewrote or
 * replaced it: it is never overwritten), while another process saves it
 * through this library, and after a failed write.  Non-zero on any other
 * failure too, with the file as it was, but for one case: when only the final
 * flush of the folder failed, the file holds the new content, which a power
 * cut may still undo, and the next save of the handle writes it again. */
int xml_file_save(int handle);

/* Releases the handle without saving.  Returns 0, or non-zero for an unknown
 * handle. */
int xml_file_close(int handle);

#ifdef __cplusplus
}
#endif

#endif
