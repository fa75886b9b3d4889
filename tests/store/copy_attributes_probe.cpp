// copy_attributes_probe FROM TO: copies FROM's extended attributes to TO, so
// that a test can run the copy under strace's fault injection.  Prints
// "copied" or "failed: <errno name>" and exits 0 or 1.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extended_attributes.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int from = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int to = open(argv[2], O_RDWR | O_CLOEXEC);
    if (from < 0 || to < 0) return 2;
    if (xml_store::copy_extended_attributes(from, to)) {
        puts("copied");
        return 0;
    }
    printf("failed: %s\n", strerrorname_np(errno));
    return 1;
}
