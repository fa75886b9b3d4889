#include "print.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A message is put together here and handed to stdio in one call: each call
// costs more than copying a line.
struct Line {
    char text[512];
    size_t size;
};

void flush(Line &line) {
    fwrite(line.text, 1, line.size, stdout);
    line.size = 0;
}

void put(Line &line, const char *text, size_t size) {
    while (size > 0) {
        if (line.size == sizeof line.text) flush(line);
        const size_t room = sizeof line.text - line.size;
        const size_t part = size < room ? size : room;
        memcpy(line.text + line.size, text, part);
        line.size += part;
        text += part;
        size -= part;
    }
}

// Digits by subtracting powers of ten: 32-bit ARM has no divide instruction
// to count on, and its division helper would bring libgcc_s along.
void put(Line &line, int value) {
    static const unsigned kPowers[] = {1000000000, 100000000, 10000000, 1000000, 100000,
                                       10000,      1000,      100,      10,      1};
    char digits[11];  // "-2147483648"
    size_t size = 0;
    if (value < 0) digits[size++] = '-';
    // Negated as unsigned, so INT_MIN needs no special case.
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : value;
    for (const unsigned power : kPowers) {
        char digit = '0';
        for (; magnitude >= power; magnitude -= power) ++digit;
        if (digit != '0' || size > (value < 0) || power == 1) digits[size++] = digit;
    }
    put(line, digits, size);
}

}  // namespace

// clang-analyzer loses track of va_start across the loop (valist.Uninitialized
// is reported for every va_arg here), hence the NOLINTs.
void print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Line line;
    line.size = 0;
    for (const char *percent = strchr(format, '%'); percent; percent = strchr(format, '%')) {
        put(line, format, static_cast<size_t>(percent - format));
        format = percent + 2;
        if (percent[1] == 's') {
            const char *text = va_arg(args, const char *);  // NOLINT(clang-analyzer-valist.*)
            put(line, text, strlen(text));
        } else if (percent[1] == 'd') {
            put(line, va_arg(args, int));  // NOLINT(clang-analyzer-valist.*)
        } else {
            put(line, "%", 1);  // not a conversion: the text as it is
            format = percent + 1;
        }
    }
    put(line, format, strlen(format));
    va_end(args);
    flush(line);
}
