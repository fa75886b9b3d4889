#include "update.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "device_paths.h"
#include "durable.h"
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

// The stores, in the order of the passes.  With the progress record they
// tell which stores hold the update and which folders a run flushes.
const char *const kStores[] = {CONFIG_PATH, CONFIG_DEFAULT_PATH, FACTORY_DEFAULT_PATH};

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

// One open file for the whole run, opened before the passes, so that every
// store gets the same content and a file put in its place meanwhile is left
// for the next run.  Only a regular file is read: a FIFO in its place would
// block the open, a device might never end.  Anything there that cannot be
// read stays; no pass reads it, so it is said to be kept at once.
void update_cfg::open_update_file() {
    const int fd = open(UPDATE_FILE_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        unlink(UPDATE_PROGRESS_PATH);  // left by a run stopped between the two deletions
        return;
    }
    const char *failure = MSG_OPEN_FAILED;
    FILE *stream = nullptr;
    if (fd >= 0 && fstat(fd, &m_update_stat) == 0) {
        if (!S_ISREG(m_update_stat.st_mode))
            failure = MSG_UPDATE_NOT_REGULAR;
        else if ((stream = fdopen(fd, "r")) != nullptr)
            failure = MSG_READ_FAILED;
    }
    if (stream && m_record.start(stream)) {
        m_record.load(UPDATE_PROGRESS_PATH);
        m_update_fd = stream;
        return;
    }
    printf(failure, UPDATE_FILE_PATH);
    printf(MSG_KEEP_UPDATE, UPDATE_FILE_PATH);
    if (stream)
        fclose(stream);
    else if (fd >= 0)
        close(fd);
}

// Back to the first line.  A UTF-8 byte order mark, which some editors write,
// is not part of the first line.  A read error stays for the pass to see.
bool update_cfg::rewind_update_file() {
    if (fseeko(m_update_fd, 0, SEEK_SET) != 0) return false;
    clearerr(m_update_fd);
    char mark[3];
    if (fread(mark, 1, sizeof mark, m_update_fd) == sizeof mark &&
        memcmp(mark, "\xEF\xBB\xBF", sizeof mark) == 0)
        return true;
    return ferror(m_update_fd) || fseeko(m_update_fd, 0, SEEK_SET) == 0;
}

// A pass that met a read error, or a file changed in place since the first
// pass, would save part of an update or another one.
bool update_cfg::read_whole_update() {
    const char *failure = MSG_READ_FAILED;
    struct stat now;
    if (!ferror(m_update_fd) && fstat(fileno(m_update_fd), &now) == 0) {
        if (same_file(now, m_update_stat, false)) return true;
        failure = MSG_UPDATE_CHANGED;
    }
    printf(failure, UPDATE_FILE_PATH);
    return false;
}

namespace {

// The folder of the file a save of path replaces: through a link (the file's
// own or a folder's on the way), the target's, since the link itself is
// never replaced.  Named as path names it where that is the same folder, so
// that messages name it as the device's paths do.
bool replaced_folder(const char *path, char *folder, size_t size) {
    char real[PATH_MAX], real_folder[PATH_MAX], named_real[PATH_MAX];
    if (!realpath(path, real)) return folder_of(path, folder, size);
    if (!folder_of(path, folder, size) || !folder_of(real, real_folder, sizeof real_folder))
        return false;
    if (realpath(folder, named_real) && strcmp(named_real, real_folder) == 0) return true;
    return folder_of(real, folder, size);
}

}  // namespace

// A store new to the record: the folder of the file its save replaced is
// flushed before the record names it, for the record must never reach the
// disk before the store's new name does.  A run stopped after a store's
// rename and before its folder's flush leaves the new file in the page cache
// only; the next run finds that store up to date, and its save, writing
// nothing, flushes nothing.
void update_cfg::took_update(const char *target_file) {
    char folder[PATH_MAX];
    const bool known = replaced_folder(target_file, folder, sizeof folder);
    if (!known || !flush_folder(folder)) {
        printf(MSG_FLUSH_FAILED, known ? folder : target_file);
        m_failed = true;
    }
    m_record.add(target_file);
    m_record_saved = false;
}

// Written before the next pass, or when the update file stays: a run stopped
// after this point does not apply the update again to the stores it names.
// A run that goes on to delete the update file has no use for it.
void update_cfg::save_record() {
    if (m_record_saved) return;
    m_record_saved = m_record.save(UPDATE_PROGRESS_PATH, UPDATE_PROGRESS_TEMP_PATH);
    if (!m_record_saved) printf(MSG_RECORD_FAILED, UPDATE_PROGRESS_PATH);
}

int update_cfg::update(const char *target_file) {
    if (!m_update_fd) return 0;
    save_record();
    if (m_record.holds(target_file)) {
        printf(MSG_ALREADY_UPDATED, target_file);
        return 0;
    }
    if (!rewind_update_file()) {
        printf(MSG_READ_FAILED, UPDATE_FILE_PATH);
        m_failed = true;
        return 0;
    }

    m_config_fd = xml_file_open(target_file);
    if (m_config_fd <= 0) {
        printf(MSG_OPEN_FAILED, target_file);
        // Only a store that is not there is passed over; one that is there
        // and does not open keeps the update file for the next run.
        struct stat st;
        if (stat(target_file, &st) == 0 || errno != ENOENT) m_failed = true;
        return 0;
    }

    char section[ENTRY_PART_SIZE], key[ENTRY_PART_SIZE], value[ENTRY_PART_SIZE];
    while (read_entry(section, sizeof section, key, sizeof key, value, sizeof value) == 0)
        SetValueToConfig(section, key, value);

    if (!read_whole_update()) {
        m_failed = true;
    } else if (xml_file_save(m_config_fd) != 0) {
        m_failed = true;
        printf(MSG_SAVE_FAILED, target_file);
    } else {
        took_update(target_file);
    }
    xml_file_close(m_config_fd);
    return 0;
}

// The folders of the files that the saves of the stores holding the update
// replaced, each once.  Flushed whether or not this run wrote to them: a run
// stopped after its renames leaves stores whose new content a power cut
// could still undo.  False when a flush fails (said) or no store holds it.
bool update_cfg::flush_store_folders() {
    char folders[sizeof kStores / sizeof *kStores][PATH_MAX];
    size_t held = 0;
    for (const char *store : kStores) {
        if (!m_record.holds(store)) continue;
        char *folder = folders[held];
        const bool known = replaced_folder(store, folder, PATH_MAX);
        size_t first = 0;  // a plain loop: the tool includes C library headers only
        while (known && strcmp(folders[first], folder) != 0) ++first;
        if (!known || (first == held && !flush_folder(folder))) {
            printf(MSG_FLUSH_FAILED, known ? folder : store);
            return false;
        }
        ++held;
    }
    return held > 0;
}

// Deleted only while the path still names the file the passes read: one put
// there meanwhile is the next run's.
bool update_cfg::delete_update_file() {
    const char *failure = MSG_UPDATE_CHANGED;
    struct stat now;
    if (stat(UPDATE_FILE_PATH, &now) == 0 && same_file(now, m_update_stat, false)) {
        if (unlink(UPDATE_FILE_PATH) == 0) return true;
        failure = MSG_DELETE_FAILED;
    }
    printf(failure, UPDATE_FILE_PATH);
    return false;
}

// The update file goes once every store that exists took it, at least one;
// else it stays, with the record of which stores took it, so that the next
// run applies it to the others only.
void update_cfg::finish() {
    if (!m_update_fd) return;
    fclose(m_update_fd);
    m_update_fd = nullptr;
    if (!m_failed && flush_store_folders() && delete_update_file()) {
        // The deletion is flushed before the record goes: a power cut must
        // not keep the update file and lose the record, or the next run
        // would apply the update again over later changes.  A record left
        // without its update file is removed by the next run.
        if (flush_folder(UPDATE_FOLDER_PATH)) {
            unlink(UPDATE_PROGRESS_PATH);
            unlink(UPDATE_PROGRESS_TEMP_PATH);
            if (flush_folder(UPDATE_FOLDER_PATH)) return;
        }
        printf(MSG_FLUSH_FAILED, UPDATE_FOLDER_PATH);
        return;
    }
    save_record();
    printf(MSG_KEEP_UPDATE, UPDATE_FILE_PATH);
}

namespace {

// One run of the tool at a time.  Two runs at once (a boot script and a
// Mender install, or two boot scripts) would interleave their passes: each
// saves stores the other opened, each renames the other's progress record
// away, and one deletes the update file while the other's record of it stays
// behind for the next update of the same content to trust.
//
// The lock is an exclusive flock on the folder that holds the update file.
// It lives on the open folder, not in a file of its own: a power cut or a
// killed run cannot leave a stale lock behind (a pid file could name a
// process that is long gone, or another one with its number), and nothing
// new is written to the device's flash.  The folder, not the update file,
// because each update comes as a new file at that path.
//
// The descriptor that holds it, kept for the whole run; -2 when another run
// held it past RUN_WAIT_SECONDS; -1 when it cannot be taken at all (no such
// folder: then there is no update file either; a file system without
// locks), which does not stop the run.
int wait_for_other_run() {
    const int folder = open(UPDATE_FOLDER_PATH, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const struct timespec pause = {0, 100000000L};  // 100 ms
    for (int tries = 0; folder >= 0; ++tries) {
        if (flock(folder, LOCK_EX | LOCK_NB) == 0) return folder;
        if (errno != EWOULDBLOCK) break;
        if (tries == 0) {
            printf(MSG_RUN_WAITING, UPDATE_FILE_PATH);
            fflush(stdout);  // a log that follows the output sees why nothing happens
        } else if (tries == RUN_WAIT_SECONDS * 10) {
            printf(MSG_RUN_LEFT, UPDATE_FILE_PATH);
            close(folder);
            return -2;
        }
        nanosleep(&pause, nullptr);
    }
    if (folder >= 0) close(folder);
    return -1;
}

}  // namespace

int main() {
    // The output is informational: a reader that went away must not stop an
    // update halfway, and a save past a file size limit fails and says so.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    puts(MSG_MAIN_ENTER);
    const int lock = wait_for_other_run();
    if (lock == -2) return 0;
    update_cfg update;
    update.open_update_file();
    for (const char *store : kStores) update.update(store);
    update.finish();
    if (lock >= 0) close(lock);  // a test build runs main more than once
    return 0;
}
