#include "process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

namespace {

struct Started {
    pid_t pid = -1;
    int out = -1;  // the read end of its standard output
};

// Forked, then waiting for the end of the file on the read end of gate (-1:
// none), whose write end it closes, before it runs argv.
Started start(const std::vector<std::string> &argv, const std::string &cwd, const int (&gate)[2]) {
    Started started;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return started;
    started.pid = fork();
    if (started.pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        char byte;
        if (gate[1] >= 0) close(gate[1]);
        if (gate[0] >= 0)
            while (read(gate[0], &byte, 1) > 0) {
            }
        if (gate[0] >= 0) close(gate[0]);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    started.out = pipe_fds[0];
    return started;
}

Outcome finish(const Started &started) {
    Outcome outcome;
    if (started.out < 0) return outcome;
    char buffer[4096];
    ssize_t n;
    while ((n = read(started.out, buffer, sizeof buffer)) > 0)
        outcome.out.append(buffer, static_cast<size_t>(n));
    close(started.out);
    int status = 0;
    if (started.pid > 0 && waitpid(started.pid, &status, 0) == started.pid && WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    return outcome;
}

}  // namespace

Outcome run_program(const std::vector<std::string> &argv, const std::string &cwd) {
    const int no_gate[2] = {-1, -1};
    return finish(start(argv, cwd, no_gate));
}

std::vector<Outcome> run_together(const std::vector<std::vector<std::string>> &argvs,
                                  const std::string &cwd) {
    int gate[2];
    if (pipe(gate) != 0) return std::vector<Outcome>(argvs.size());
    std::vector<Started> started;
    for (const std::vector<std::string> &argv : argvs) {
        started.push_back(start(argv, cwd, gate));
        // A later child's output pipe must not stay open in an earlier one.
        if (started.back().out >= 0) fcntl(started.back().out, F_SETFD, FD_CLOEXEC);
    }
    close(gate[0]);
    close(gate[1]);  // opens the gate
    std::vector<Outcome> outcomes;
    for (const Started &one : started) outcomes.push_back(finish(one));
    return outcomes;
}

int in_child(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            _exit(body());
        } catch (...) {
            _exit(255);
        }
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> built_program(const std::string &path) {
    const std::string emulator = TOOL_EMULATOR;
    if (emulator.empty()) return {path};
    return {emulator, path};
}

std::string emulation_note() {
    const std::string emulator = TOOL_EMULATOR;
    return emulator.empty() ? ""
                            : "runs under " + emulator + ", which a trace or sandbox would see";
}

std::vector<std::string> sandbox_with_system() {
    std::vector<std::string> argv = {
        "/usr/bin/bwrap", "--die-with-parent", "--unshare-all", "--ro-bind", "/usr", "/usr"};
    for (const char *top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        struct stat st;
        if (lstat(top, &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[256] = {};
            if (readlink(top, target, sizeof target - 1) > 0)
                argv.insert(argv.end(), {"--symlink", target, top});
        } else {
            argv.insert(argv.end(), {"--ro-bind", top, top});
        }
    }
    return argv;
}

std::vector<size_t> sweep_points(size_t first, size_t last, size_t count) {
    const char *full = std::getenv("UPDATE_CFG_FULL_SWEEPS");
    const size_t all = last >= first ? last - first + 1 : 0;
    if ((full && std::string(full) == "1") || all <= count || count < 2) count = all;
    std::vector<size_t> points;
    for (size_t i = 0; i < count; ++i)
        points.push_back(first + (count == all ? i : i * (all - 1) / (count - 1)));
    return points;
}

bool shell_succeeds(const std::string &command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace testing_support
