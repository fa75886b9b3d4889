// The floor of any update that rewrites the configuration files: open each
// store, change one value so that the whole file must be written, save.  Like
// the tool it needs nothing but libxml.so and the C library, so that both
// start alike.
// Usage: floor ENTRY PATH...
#include <cstdio>

#include "xml_file.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: floor ENTRY PATH...\n");
        return 2;
    }
    char value[] = "floor";
    for (int i = 2; i < argc; ++i) {
        const int handle = xml_file_open(argv[i]);
        if (handle <= 0 || xml_file_write(handle, value, sizeof value, argv[1], 0, 0) != 0 ||
            xml_file_save(handle) != 0) {
            fprintf(stderr, "floor: %s failed\n", argv[i]);
            return 1;
        }
        xml_file_close(handle);
    }
    return 0;
}
