// The floor of any update that rewrites the configuration files: open each
// store, change one value so that the whole file must be written, save.
// Usage: floor ENTRY PATH...
#include <cstdio>
#include <string>

#include "xml_file.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: floor ENTRY PATH...\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const int handle = xml_file_open(argv[i]);
        std::string value = "floor";
        if (handle <= 0 ||
            xml_file_write(handle, value.data(), static_cast<int>(value.size() + 1), argv[1], 0,
                           0) != 0 ||
            xml_file_save(handle) != 0) {
            fprintf(stderr, "floor: %s failed\n", argv[i]);
            return 1;
        }
        xml_file_close(handle);
    }
    return 0;
}
