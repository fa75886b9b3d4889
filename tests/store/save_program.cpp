// One write and one save through libxml.so, as another process using the
// store would make them.  Usage: store_save PATH ENTRY VALUE.  Prints what
// happened: "saved", "save failed", "write refused" or "open failed".
#include <cstdio>
#include <cstring>

#include "xml_file.h"

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const int handle = xml_file_open(argv[1]);
    if (handle <= 0) {
        puts("open failed");
        return 0;
    }
    if (xml_file_write(handle, argv[3], static_cast<int>(strlen(argv[3]) + 1), argv[2], 0, 0) != 0)
        puts("write refused");
    else
        puts(xml_file_save(handle) == 0 ? "saved" : "save failed");
    xml_file_close(handle);
    return 0;
}
