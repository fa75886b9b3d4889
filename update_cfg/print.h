// The tool's messages, written without printf: formatting its two lines per
// entry cost more than everything else the tool does for the entry.
#pragma once

// Writes format to stdout with each "%s" replaced by the next argument, a
// string, and each "%d" by the next, an int: the only conversions the
// messages use.
void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
