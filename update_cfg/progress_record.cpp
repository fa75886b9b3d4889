#include "progress_record.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "durable.h"

namespace {

const unsigned long long kFnvBasis = 14695981039346656037ULL;
const unsigned long long kFnvPrime = 1099511628211ULL;

unsigned long long fnv1a(unsigned long long hash, const char *data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= kFnvPrime;
    }
    return hash;
}

const char kCheckFormat[] = "check %016llx\n";
enum { CHECK_LINE_SIZE = 6 + 16 + 1 + 1 };  // with the terminating zero

// The check line of text, its terminating zero included, into line.
void format_check(char *line, const char *text, size_t length) {
    snprintf(line, CHECK_LINE_SIZE, kCheckFormat, fnv1a(kFnvBasis, text, length));
}

// Within its folder: the record and its temporary file are replaced there.
const char *file_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

bool ProgressRecord::start(FILE *update) {
    char buffer[4096];
    unsigned long long digest = kFnvBasis;
    long long size = 0;
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, update)) > 0) {
        digest = fnv1a(digest, buffer, n);
        size += static_cast<long long>(n);
        if (n < sizeof buffer) break;
    }
    const int length = snprintf(m_text, sizeof m_text,
                                "update_cfg progress 1\nupdate %lld %016llx\n", size, digest);
    m_header_length = m_length = static_cast<size_t>(length);
    return !ferror(update);
}

void ProgressRecord::load(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    char file[sizeof m_text];
    const size_t length = read_up_to(fd, file, sizeof file);
    close(fd);

    const size_t check_length = CHECK_LINE_SIZE - 1;
    if (length == sizeof file || length < m_header_length + check_length) return;
    const size_t text_length = length - check_length;
    char check[CHECK_LINE_SIZE];
    format_check(check, file, text_length);
    if (memcmp(file + text_length, check, check_length) != 0) return;  // torn or not ours
    if (memcmp(file, m_text, m_header_length) != 0) return;            // another update's
    memcpy(m_text, file, text_length);
    m_length = text_length;
}

bool ProgressRecord::holds(const char *store) const {
    const size_t store_length = strlen(store);
    const char *line = m_text + m_header_length;
    const char *end = m_text + m_length;
    while (line < end) {
        const char *line_end = static_cast<const char *>(memchr(line, '\n', end - line));
        if (!line_end) break;
        if (static_cast<size_t>(line_end - line) == store_length &&
            memcmp(line, store, store_length) == 0)
            return true;
        line = line_end + 1;
    }
    return false;
}

void ProgressRecord::add(const char *store) {
    const size_t store_length = strlen(store);
    if (holds(store) || m_length + store_length + 1 + CHECK_LINE_SIZE > sizeof m_text) return;
    memcpy(m_text + m_length, store, store_length);
    m_length += store_length;
    m_text[m_length++] = '\n';
}

bool ProgressRecord::save(const char *path, const char *temporary) {
    format_check(m_text + m_length, m_text, m_length);  // add() and load() leave room for it
    char folder_path[PATH_MAX];
    if (!folder_of(path, folder_path, sizeof folder_path)) return false;
    const int folder = open(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const auto write = [](int fd, void *context) {
        const ProgressRecord &record = *static_cast<const ProgressRecord *>(context);
        return write_all(fd, record.m_text, record.m_length + CHECK_LINE_SIZE - 1);
    };
    Replacement replacement = {folder, file_name(path), file_name(temporary), write, nullptr, this};
    const bool saved = replace_at(replacement);
    close(folder);
    return saved;
}
