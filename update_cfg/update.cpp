#include "update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "device_paths.h"
#include "entry_limits.h"
#include "messages.h"
#include "xml_file.h"

namespace {

// Drops one LF and then one CR from the end of text.
void strip_line_end(char *text) {
    size_t len = strlen(text);
    if (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
    if (len > 0 && text[len - 1] == '\r') text[--len] = '\0';
}

// Consumes the rest of a line that did not fit the line buffer.  True when
// there was more than its line end.
bool skip_rest_of_line(FILE *stream) {
    int c = fgetc(stream);
    if (c == EOF || c == '\n') return false;
    while (c != EOF && c != '\n') c = fgetc(stream);
    return true;
}

// Only a regular file is read: a FIFO in its place would block the open, a
// device might never end.  Sets not_regular when something else is there.
FILE *open_update_file(bool &not_regular) {
    const int fd = open(UPDATE_FILE_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        not_regular = true;
        close(fd);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "r");
    if (!stream) close(fd);
    return stream;
}

}  // namespace

char *update_cfg::strcpy_s(char *d, const char *s, unsigned l) {
    snprintf(d, l, "%s", s);
    return d;
}

int update_cfg::read_entry(char *pSection, int sec_len, char *pKey, int key_len, char *pValue,
                           int value_len) {
    char line[LINE_SIZE];
    for (;;) {
        // fgets writes nothing past the NUL that ends what it read, so over a
        // buffer without zeros that NUL is the last one, whatever the line
        // itself holds.
        memset(line, 0xFF, sizeof line);
        if (!fgets(line, sizeof line, m_update_fd)) return -1;
        const size_t length =
            static_cast<size_t>(static_cast<char *>(memrchr(line, '\0', sizeof line)) - line);
        // A longer line is judged whole or not at all, so no piece of it is
        // read as a setting of its own.
        if (length == sizeof line - 1 && line[length - 1] != '\n' &&
            skip_rest_of_line(m_update_fd)) {
            printf(MSG_ENTRY_TOO_LONG, line);
            continue;
        }
        if (memchr(line, '\0', length)) continue;  // a NUL byte: not a line of text
        char *dot = strchr(line, '.');
        char *equals = strchr(line, '=');
        if (strchr(line, '#') || !dot || !equals || equals < dot) continue;

        const int section_len = static_cast<int>(dot - line);
        const int key_length = static_cast<int>(equals - dot - 1);
        char *value = equals + 1;
        strip_line_end(value);  // the value ends the line: this strips the line too
        const int value_length = static_cast<int>(strlen(value));
        if (section_len >= sec_len || key_length >= key_len || value_length >= value_len) {
            printf(MSG_ENTRY_TOO_LONG, line);
            continue;
        }
        memcpy(pSection, line, section_len);
        pSection[section_len] = '\0';
        memcpy(pKey, dot + 1, key_length);
        pKey[key_length] = '\0';
        strcpy_s(pValue, value, static_cast<unsigned>(value_len));
        printf(MSG_VALUE, value, value_length);
        return 0;
    }
}

int update_cfg::SetValueToConfig(const char *pSection, const char *pKey, char *pValue) {
    if (m_config_fd <= 0) {
        puts(MSG_BAD_HANDLE);
        return 0;
    }
    char entry[ENTRY_PATH_SIZE];
    snprintf(entry, sizeof entry, "%s.%s.%s", ENTRY_PATH_ROOT, pSection, pKey);
    const int len = static_cast<int>(strlen(pValue));
    printf(MSG_SET_VALUE, pValue, len);
    if (xml_file_write(m_config_fd, pValue, len + 1, entry, 0, 0) == 0) return 1;
    printf(MSG_WRITE_FAILED, entry);
    return 0;
}

int update_cfg::update(const char *target_file) {
    bool not_regular = false;
    m_update_fd = open_update_file(not_regular);
    if (!m_update_fd) {
        if (not_regular) printf(MSG_UPDATE_NOT_REGULAR, UPDATE_FILE_PATH);
        return 0;
    }
    m_update_opened = true;

    m_config_fd = xml_file_open(target_file);
    if (m_config_fd <= 0) {
        fclose(m_update_fd);
        printf(MSG_OPEN_FAILED, target_file);
        return 0;
    }

    char section[ENTRY_PART_SIZE], key[ENTRY_PART_SIZE], value[ENTRY_PART_SIZE];
    while (read_entry(section, sizeof section, key, sizeof key, value, sizeof value) == 0)
        SetValueToConfig(section, key, value);
    fclose(m_update_fd);

    if (xml_file_save(m_config_fd) == 0) {
        ++m_saved;
    } else {
        m_save_failed = true;
        printf(MSG_SAVE_FAILED, target_file);
    }
    xml_file_close(m_config_fd);
    return 0;
}

// Writing the same values again gives the same files, so an update file that
// did not reach every store it could is kept and applied again next run.
void update_cfg::finish() {
    if (m_update_opened && (m_saved == 0 || m_save_failed)) {
        printf(MSG_KEEP_UPDATE, UPDATE_FILE_PATH);
        return;
    }
    unlink(UPDATE_FILE_PATH);
}

int main() {
    puts(MSG_MAIN_ENTER);
    update_cfg update;
    update.update(CONFIG_PATH);
    update.update(CONFIG_DEFAULT_PATH);
    update.update(FACTORY_DEFAULT_PATH);
    update.finish();
    return 0;
}
