/* A stand-in for libxml.so in plain C, for builds of the tool on a C library
 * without a C++ runtime (musl), where the store cannot be built.  It keeps the
 * writes of each open file and, on save, appends them to the file as
 * "entry=value" lines, so that a run's effect on the tree can be compared
 * byte for byte between builds of the tool.  It answers as the real store does
 * where the tool's course depends on it: 0 for a file that is missing, empty
 * or unreadable; a refusal for a length other than strlen(value) + 1 and for
 * an entry path with an empty component; a failed save where the file cannot
 * be written. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "xml_file.h"

enum { MAX_OPEN = 8 };

struct open_file {
    char *path;    /* NULL when the slot is free */
    char *writes;  /* "entry=value\n" lines, in the order of the writes */
    size_t length;
};

static struct open_file files[MAX_OPEN];

static struct open_file *file_of(int handle) {
    if (handle <= 0 || handle > MAX_OPEN || !files[handle - 1].path) return NULL;
    return &files[handle - 1];
}

int xml_file_open(const char *path) {
    FILE *stream = fopen(path, "r");
    if (!stream) return 0;
    const int empty = fgetc(stream) == EOF;
    fclose(stream);
    if (empty) return 0;
    for (int i = 0; i < MAX_OPEN; ++i) {
        if (files[i].path) continue;
        files[i].path = strdup(path);
        if (!files[i].path) return 0;
        files[i].writes = NULL;
        files[i].length = 0;
        return i + 1;
    }
    return 0;
}

static int empty_component(const char *entry) {
    return !*entry || *entry == '.' || strstr(entry, "..") || entry[strlen(entry) - 1] == '.';
}

int xml_file_write(int handle, char *value, int len, const char *entry, int unused_a,
                   int unused_b) {
    (void)unused_a;
    (void)unused_b;
    struct open_file *file = file_of(handle);
    if (!file || !value || !entry || len < 1 || strlen(value) + 1 != (size_t)len ||
        empty_component(entry))
        return -1;
    const size_t line = strlen(entry) + 1 + strlen(value) + 1;
    char *grown = realloc(file->writes, file->length + line + 1);
    if (!grown) return -1;
    file->writes = grown;
    snprintf(file->writes + file->length, line + 1, "%s=%s\n", entry, value);
    file->length += line;
    return 0;
}

int xml_file_save(int handle) {
    struct open_file *file = file_of(handle);
    if (!file) return -1;
    if (file->length == 0) return 0; /* nothing changed: the file stays as it is */
    FILE *stream = fopen(file->path, "a");
    if (!stream) return -1;
    const int written = fwrite(file->writes, 1, file->length, stream) == file->length;
    return fclose(stream) == 0 && written ? 0 : -1;
}

int xml_file_close(int handle) {
    struct open_file *file = file_of(handle);
    if (!file) return -1;
    free(file->path);
    free(file->writes);
    file->path = NULL;
    file->writes = NULL;
    file->length = 0;
    return 0;
}
