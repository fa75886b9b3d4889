// What a power cut can leave of a run's changes to a few folders, from the
// run's system calls as strace recorded them (with the bytes written).
//
// A run is replayed on a model of the folders: names bound to files, each
// file's content, and in order every operation that changes them: data
// written or truncated, a file or folder flushed, and entry operations
// (create, rename, remove, link).  A crash after the first count operations
// leaves, under either model:
//   - data written since the file's last flush lost, torn (a prefix of the
//     write kept) or kept, each write on its own;
//   - conservative: each entry operation since the last flush of its folder
//     (of both folders, for a rename between two) kept or not, independently
//     per name, but in order for each name;
//   - ordered metadata (ext4's journal): entry operations kept as a prefix of
//     their order; any flush commits every one before it.
// A sync() commits everything.  The model knows nothing of owners, modes or
// times: the checks here are about content and names.
#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

#include "strace_log.h"

namespace crash_states {

enum class Kind { file, folder, link };

struct Node {
    Kind kind = Kind::file;
    std::string bytes;  // a file's content, a link's target
    bool operator==(const Node &other) const { return kind == other.kind && bytes == other.bytes; }
};

// Everything under some folders (those folders included), by absolute path.
using Tree = std::map<std::string, Node>;

// roots are absolute paths without links.
Tree scan(const std::vector<std::string> &roots);
// Empties the roots and lays tree in them.
void materialize(const Tree &tree, const std::vector<std::string> &roots);
// The node at path, following links (also a link's folder), or null.
const Node *follow(const Tree &tree, const std::string &path);
std::string resolved(const Tree &tree, const std::string &path);

struct Operation {
    enum Type { write, truncate, flush, create, remove, rename, link, commit_all };
    Type type = write;
    size_t call = 0;           // the system call's index in the trace
    int inode = -1;            // write, truncate, flush, create, link
    std::string path, to;      // entry operations; rename: path to to
    std::vector<int> folders;  // whose flush makes an entry operation durable
    long long offset = 0;      // write: where; truncate: the new size
    std::string data;          // write
};

struct Recording {
    std::vector<std::string> roots;
    std::map<std::string, int> names;  // before the run: path -> inode
    std::vector<Node> inodes;          // each inode's content before the run (new ones empty)
    std::vector<Operation> operations;
    std::vector<testing_support::SystemCall> calls;
};

// The model of tree before a run in the folder cwd.
Recording start(const std::vector<std::string> &roots, const Tree &tree);
// Adds the run that trace (strace -f -y -xx) recorded, from the state its
// operations so far leave when all of them reach the disk.
void replay(Recording &recording, const std::string &trace, const std::string &cwd);

enum class Model { conservative, ordered };
const char *model_name(Model model);

// For each of the first count operations, what reaches the disk: kKept,
// kLost, or (a write) the number of its bytes kept.
enum : long long { kKept = -2, kLost = -1 };
using Fate = std::vector<long long>;

// The fates of a crash after count operations: every pending operation kept,
// every one lost, every choice of the pending entry operations when there are
// few (four under the conservative model, eight under the ordered one) with
// the data kept, and samples drawn from generator.
std::vector<Fate> crash_fates(const Recording &recording, size_t count, Model model, int samples,
                              std::mt19937 &generator);
Tree crash_state(const Recording &recording, size_t count, const Fate &fate);
// What the run's processes saw after count operations: all of them kept.
Tree seen(const Recording &recording, size_t count);

// True when operation at (an entry operation) had reached the disk at a
// crash after count operations, under the conservative model.
bool durable(const Recording &recording, size_t at, size_t count);

}  // namespace crash_states
