#include "crash_states.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

using testing_support::SystemCall;

namespace crash_states {
namespace {

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "." and ".." and doubled slashes taken out of an absolute path.
std::string normal(const std::string &path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string &p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string join(const std::string &folder, const std::string &name) {
    return normal(name.size() && name[0] == '/' ? name : folder + "/" + name);
}

Operation of(Operation::Type type) {
    Operation op;
    op.type = type;
    return op;
}

bool under(const std::string &path, const std::string &root) {
    return path == root || path.compare(0, root.size() + 1, root + "/") == 0;
}

void scan_into(const std::string &path, Tree &tree) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    Node node;
    if (S_ISDIR(st.st_mode)) {
        node.kind = Kind::folder;
        tree[path] = node;
        if (DIR *dir = opendir(path.c_str())) {
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") scan_into(path + "/" + name, tree);
            }
            closedir(dir);
        }
    } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        node.kind = Kind::link;
        node.bytes.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
        tree[path] = node;
    } else if (S_ISREG(st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        node.bytes = content.str();
        tree[path] = node;
    }
}

// A run's state as the replay sees it: names and open descriptors.
struct Open {
    int inode = -1;  // -1: outside the roots
    long long offset = 0;
};

class Replay {
  public:
    Replay(Recording &recording, const std::string &cwd) : r_(recording), cwd_(normal(cwd)) {
        names_ = recording.names;
        // Names as the operations so far leave them, all kept.
        for (const Operation &op : recording.operations) apply_name(names_, op);
    }

    void run(const std::vector<SystemCall> &calls) {
        const size_t base = r_.calls.size();
        for (size_t i = 0; i < calls.size(); ++i) {
            r_.calls.push_back(calls[i]);
            if (!calls[i].failed()) one(calls[i], base + i);
        }
    }

  private:
    bool watched(const std::string &path) const {
        for (const std::string &root : r_.roots)
            if (under(path, root)) return true;
        return false;
    }

    // path with the links of its folders resolved, where the model has them.
    std::string canonical(const std::string &path) {
        std::string folder = folder_of(path);
        for (int hops = 0; hops < 16; ++hops) {
            std::string prefix;
            bool changed = false;
            std::stringstream in(folder);
            std::string part;
            while (std::getline(in, part, '/')) {
                if (part.empty()) continue;
                prefix += "/" + part;
                const auto it = names_.find(prefix);
                if (it != names_.end() && r_.inodes[it->second].kind == Kind::link) {
                    const std::string rest = folder.substr(prefix.size());
                    folder = join(folder_of(prefix), r_.inodes[it->second].bytes) + rest;
                    changed = true;
                    break;
                }
            }
            if (!changed) break;
        }
        return join(folder, path.substr(path.rfind('/') + 1));
    }

    std::string at(const SystemCall &call, size_t dirfd_arg, size_t path_arg) {
        std::string folder = cwd_;
        int fd;
        std::string fd_path;
        if (dirfd_arg < call.argument.size() &&
            testing_support::descriptor(call.argument[dirfd_arg], fd, fd_path) &&
            !fd_path.empty()) {
            folder = fd_path;
            if (fd == -100) cwd_ = fd_path;
        }
        return canonical(join(folder, testing_support::unquote(call.argument.at(path_arg))));
    }

    std::string by_cwd(const SystemCall &call, size_t path_arg) {
        return canonical(join(cwd_, testing_support::unquote(call.argument.at(path_arg))));
    }

    Open *open_file(const SystemCall &call, size_t arg = 0) {
        int fd;
        std::string path;
        if (call.argument.empty() || !testing_support::descriptor(call.argument[arg], fd, path))
            return nullptr;
        const auto it = fds_.find({call.pid, fd});
        return it == fds_.end() || it->second.inode < 0 ? nullptr : &it->second;
    }

    int folder_inode(const std::string &path) {
        const auto it = names_.find(folder_of(path));
        return it == names_.end() ? -1 : it->second;
    }

    int new_inode(Kind kind, const std::string &bytes = "") {
        r_.inodes.push_back({kind, bytes});
        return static_cast<int>(r_.inodes.size()) - 1;
    }

    void add(Operation op, size_t index) {
        op.call = index;
        apply_name(names_, op);
        r_.operations.push_back(op);
    }

    void entry(Operation::Type type, const std::string &path, int inode, size_t index,
               const std::string &to = "") {
        Operation op = of(type);
        op.path = path;
        op.to = to;
        op.inode = inode;
        op.folders.push_back(folder_inode(path));
        if (!to.empty() && folder_of(to) != folder_of(path)) op.folders.push_back(folder_inode(to));
        add(op, index);
    }

    void opened(const SystemCall &call, const std::string &asked, const std::string &flags,
                size_t index) {
        const int fd = std::atoi(call.result.c_str());
        const std::string path = call.result_path.empty() ? asked : normal(call.result_path);
        Open open;
        if (watched(path)) {
            const auto it = names_.find(path);
            if (it != names_.end()) {
                open.inode = it->second;
                if (flags.find("O_TRUNC") != std::string::npos &&
                    r_.inodes[open.inode].kind == Kind::file) {
                    Operation op = of(Operation::truncate);
                    op.inode = open.inode;
                    add(op, index);
                }
            } else if (flags.find("O_CREAT") != std::string::npos) {
                open.inode = new_inode(Kind::file);
                entry(Operation::create, path, open.inode, index);
            }
        }
        fds_[{call.pid, fd}] = open;
    }

    void one(const SystemCall &call, size_t index) {
        const std::string &name = call.name;
        if (name == "openat") {
            opened(call, at(call, 0, 1), call.argument.size() > 2 ? call.argument[2] : "", index);
        } else if (name == "open") {
            opened(call, by_cwd(call, 0), call.argument.size() > 1 ? call.argument[1] : "", index);
        } else if (name == "creat") {
            opened(call, by_cwd(call, 0), "O_CREAT|O_TRUNC", index);
        } else if (name == "write" || name == "pwrite64") {
            Open *open = open_file(call);
            if (!open) return;
            Operation op = of(Operation::write);
            op.inode = open->inode;
            op.data = testing_support::unquote(call.argument.at(1))
                          .substr(0, std::strtoull(call.result.c_str(), nullptr, 10));
            op.offset = name == "write" ? open->offset : std::atoll(call.argument.at(3).c_str());
            if (name == "write") open->offset += static_cast<long long>(op.data.size());
            add(op, index);
        } else if (name == "lseek") {
            if (Open *open = open_file(call)) open->offset = std::atoll(call.result.c_str());
        } else if (name == "ftruncate") {
            Open *open = open_file(call);
            if (!open) return;
            Operation op = of(Operation::truncate);
            op.inode = open->inode;
            op.offset = std::atoll(call.argument.at(1).c_str());
            add(op, index);
        } else if (name == "fsync" || name == "fdatasync") {
            Open *open = open_file(call);
            if (!open) return;
            Operation op = of(Operation::flush);
            op.inode = open->inode;
            add(op, index);
        } else if (name == "sync" || name == "syncfs") {
            add(of(Operation::commit_all), index);
        } else if (name == "close") {
            int fd;
            std::string path;
            if (testing_support::descriptor(call.argument.at(0), fd, path))
                fds_.erase({call.pid, fd});
        } else if (name == "dup" || name == "dup2" || name == "dup3" ||
                   (name == "fcntl" && call.argument.size() > 1 &&
                    call.argument[1].compare(0, 7, "F_DUPFD") == 0)) {
            int fd;
            std::string path;
            if (!testing_support::descriptor(call.argument.at(0), fd, path)) return;
            const auto it = fds_.find({call.pid, fd});
            if (it != fds_.end()) fds_[{call.pid, std::atoi(call.result.c_str())}] = it->second;
        } else if (name == "rename" || name == "renameat" || name == "renameat2") {
            const std::string from = name == "rename" ? by_cwd(call, 0) : at(call, 0, 1);
            const std::string to = name == "rename" ? by_cwd(call, 1) : at(call, 2, 3);
            if (watched(from) && watched(to) && names_.count(from))
                entry(Operation::rename, from, names_[from], index, to);
        } else if (name == "unlink" || name == "unlinkat" || name == "rmdir") {
            const std::string path = name == "unlinkat" ? at(call, 0, 1) : by_cwd(call, 0);
            if (watched(path) && names_.count(path))
                entry(Operation::remove, path, names_[path], index);
        } else if (name == "mkdir" || name == "mkdirat") {
            const std::string path = name == "mkdirat" ? at(call, 0, 1) : by_cwd(call, 0);
            if (watched(path)) entry(Operation::create, path, new_inode(Kind::folder), index);
        } else if (name == "symlink" || name == "symlinkat") {
            const std::string path = name == "symlinkat" ? at(call, 1, 2) : by_cwd(call, 1);
            if (watched(path))
                entry(Operation::create, path,
                      new_inode(Kind::link, testing_support::unquote(call.argument.at(0))), index);
        } else if (name == "link" || name == "linkat") {
            const std::string from = name == "link" ? by_cwd(call, 0) : at(call, 0, 1);
            const std::string to = name == "link" ? by_cwd(call, 1) : at(call, 2, 3);
            if (watched(to) && names_.count(from)) entry(Operation::link, to, names_[from], index);
        } else if (name == "chdir") {
            cwd_ = by_cwd(call, 0);
        } else if (name == "clone" || name == "clone3" || name == "fork" || name == "vfork") {
            const int child = std::atoi(call.result.c_str());
            std::map<std::pair<int, int>, Open> inherited;
            for (const auto &[key, open] : fds_)
                if (key.first == call.pid) inherited[{child, key.second}] = open;
            fds_.insert(inherited.begin(), inherited.end());
        }
    }

  public:
    static void apply_name(std::map<std::string, int> &names, const Operation &op) {
        switch (op.type) {
            case Operation::create:
            case Operation::link:
                names[op.path] = op.inode;
                break;
            case Operation::remove:
                names.erase(op.path);
                break;
            case Operation::rename: {
                std::map<std::string, int> moved;
                for (auto it = names.begin(); it != names.end();) {
                    if (under(it->first, op.path)) {
                        moved[op.to + it->first.substr(op.path.size())] = it->second;
                        it = names.erase(it);
                    } else if (under(it->first, op.to)) {
                        it = names.erase(it);  // what the rename replaced
                    } else {
                        ++it;
                    }
                }
                names.insert(moved.begin(), moved.end());
                break;
            }
            default:
                break;
        }
    }

  private:
    Recording &r_;
    std::string cwd_;
    std::map<std::string, int> names_;
    std::map<std::pair<int, int>, Open> fds_;  // (pid, descriptor)
};

bool is_entry(const Operation &op) {
    return op.type == Operation::create || op.type == Operation::remove ||
           op.type == Operation::rename || op.type == Operation::link;
}

bool is_data(const Operation &op) {
    return op.type == Operation::write || op.type == Operation::truncate;
}

// A data operation's bytes reached the disk: a later flush of its file.
bool data_durable(const Recording &recording, size_t at, size_t count) {
    const std::vector<Operation> &ops = recording.operations;
    for (size_t i = at + 1; i < count; ++i)
        if (ops[i].type == Operation::commit_all ||
            (ops[i].type == Operation::flush && ops[i].inode == ops[at].inode))
            return true;
    return false;
}

bool committed(const Recording &recording, size_t at, size_t count) {
    for (size_t i = at + 1; i < count; ++i)
        if (recording.operations[i].type == Operation::flush ||
            recording.operations[i].type == Operation::commit_all)
            return true;
    return false;
}

Tree build(const Recording &recording, size_t count, const Fate *fate) {
    std::map<std::string, int> names = recording.names;
    std::vector<Node> inodes = recording.inodes;
    for (size_t i = 0; i < count; ++i) {
        const Operation &op = recording.operations[i];
        const long long choice = fate ? (*fate)[i] : kKept;
        if (choice == kLost) continue;
        if (op.type == Operation::write) {
            std::string &bytes = inodes[op.inode].bytes;
            const std::string data = choice == kKept ? op.data : op.data.substr(0, choice);
            const size_t offset = static_cast<size_t>(op.offset);
            if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size(), '\0');
            bytes.replace(offset, data.size(), data);
        } else if (op.type == Operation::truncate) {
            inodes[op.inode].bytes.resize(static_cast<size_t>(op.offset), '\0');
        } else {
            Replay::apply_name(names, op);
        }
    }
    Tree tree;
    for (const auto &[path, inode] : names) {
        const bool root = std::find(recording.roots.begin(), recording.roots.end(), path) !=
                          recording.roots.end();
        // A name whose folder did not survive is not there either.
        if (!root) {
            const auto parent = tree.find(folder_of(path));
            if (parent == tree.end() || parent->second.kind != Kind::folder) continue;
        }
        tree[path] = inodes[inode];
    }
    return tree;
}

}  // namespace

Tree scan(const std::vector<std::string> &roots) {
    Tree tree;
    for (const std::string &root : roots) scan_into(root, tree);
    return tree;
}

void materialize(const Tree &tree, const std::vector<std::string> &roots) {
    for (const std::string &root : roots) {
        const std::string command = "find '" + root + "' -mindepth 1 -delete";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot empty " + root);
    }
    for (const auto &[path, node] : tree) {  // a folder sorts before what it holds
        if (std::find(roots.begin(), roots.end(), path) != roots.end()) continue;
        bool ok = true;
        if (node.kind == Kind::folder) {
            ok = mkdir(path.c_str(), 0755) == 0;
        } else if (node.kind == Kind::link) {
            ok = symlink(node.bytes.c_str(), path.c_str()) == 0;
        } else {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << node.bytes;
            ok = static_cast<bool>(out);
        }
        if (!ok) throw std::runtime_error("cannot lay " + path);
    }
}

std::string resolved(const Tree &tree, const std::string &path) {
    std::string at = normal(path);
    for (int hops = 0; hops < 16; ++hops) {
        const auto it = tree.find(at);
        if (it == tree.end() || it->second.kind != Kind::link) return at;
        at = join(folder_of(at), it->second.bytes);
    }
    return at;
}

const Node *follow(const Tree &tree, const std::string &path) {
    const auto it = tree.find(resolved(tree, path));
    return it == tree.end() ? nullptr : &it->second;
}

Recording start(const std::vector<std::string> &roots, const Tree &tree) {
    Recording recording;
    recording.roots = roots;
    for (const auto &[path, node] : tree) {
        recording.names[path] = static_cast<int>(recording.inodes.size());
        recording.inodes.push_back(node);
    }
    return recording;
}

void replay(Recording &recording, const std::string &trace, const std::string &cwd) {
    Replay(recording, cwd).run(testing_support::parse_strace(trace));
}

const char *model_name(Model model) {
    return model == Model::conservative ? "conservative" : "ordered metadata";
}

bool durable(const Recording &recording, size_t at, size_t count) {
    const std::vector<Operation> &ops = recording.operations;
    for (const int folder : ops[at].folders) {
        bool flushed = false;
        for (size_t i = at + 1; i < count && !flushed; ++i)
            flushed = ops[i].type == Operation::commit_all ||
                      (ops[i].type == Operation::flush && ops[i].inode == folder);
        if (!flushed) return false;
    }
    return true;
}

std::vector<Fate> crash_fates(const Recording &recording, size_t count, Model model, int samples,
                              std::mt19937 &generator) {
    const std::vector<Operation> &ops = recording.operations;
    std::vector<size_t> pending_entries, pending_data;
    for (size_t i = 0; i < count; ++i) {
        if (is_entry(ops[i]) && !(model == Model::conservative ? durable(recording, i, count)
                                                               : committed(recording, i, count)))
            pending_entries.push_back(i);
        if (is_data(ops[i]) && !data_durable(recording, i, count)) pending_data.push_back(i);
    }
    std::vector<Fate> fates;
    Fate all_kept(count, kKept);
    fates.push_back(all_kept);
    if (pending_entries.empty() && pending_data.empty()) return fates;
    Fate all_lost = all_kept;
    for (const size_t i : pending_entries) all_lost[i] = kLost;
    for (const size_t i : pending_data) all_lost[i] = kLost;
    fates.push_back(all_lost);

    // In order per name: keeping an entry operation keeps those before it on
    // any name it touches.
    const auto close_over_names = [&](std::vector<bool> &keep) {
        for (size_t k = keep.size(); k-- > 0;) {
            if (!keep[k]) continue;
            const Operation &later = ops[pending_entries[k]];
            for (size_t j = 0; j < k; ++j) {
                const Operation &earlier = ops[pending_entries[j]];
                for (const std::string &name : {later.path, later.to})
                    if (!name.empty() && (name == earlier.path || name == earlier.to))
                        keep[j] = true;
            }
        }
    };
    // A few pending entry operations: every combination, data kept.
    if (model == Model::conservative && pending_entries.size() <= 4) {
        for (unsigned mask = 1; mask + 1 < (1u << pending_entries.size()); ++mask) {
            std::vector<bool> keep(pending_entries.size());
            for (size_t k = 0; k < keep.size(); ++k) keep[k] = (mask >> k) & 1;
            close_over_names(keep);
            Fate fate = all_kept;
            for (size_t k = 0; k < keep.size(); ++k)
                if (!keep[k]) fate[pending_entries[k]] = kLost;
            fates.push_back(fate);
        }
    } else if (model == Model::ordered && pending_entries.size() <= 8) {
        for (size_t kept = 1; kept < pending_entries.size(); ++kept) {
            Fate fate = all_kept;
            for (size_t k = kept; k < pending_entries.size(); ++k) fate[pending_entries[k]] = kLost;
            fates.push_back(fate);
        }
    }

    for (int sample = 0; sample < samples; ++sample) {
        Fate fate = all_kept;
        for (const size_t i : pending_data) {
            const int pick = std::uniform_int_distribution<int>(0, 2)(generator);
            const size_t size = ops[i].data.size();
            if (pick == 0) {
                fate[i] = kLost;
            } else if (pick == 1 && ops[i].type == Operation::write && size > 1) {
                fate[i] = std::uniform_int_distribution<long long>(
                    1, static_cast<long long>(size) - 1)(generator);
            }
        }
        if (model == Model::ordered) {
            // A prefix of the pending entry operations.
            const size_t kept =
                std::uniform_int_distribution<size_t>(0, pending_entries.size())(generator);
            for (size_t k = kept; k < pending_entries.size(); ++k) fate[pending_entries[k]] = kLost;
        } else {
            std::vector<bool> keep(pending_entries.size());
            for (size_t k = 0; k < keep.size(); ++k)
                keep[k] = std::uniform_int_distribution<int>(0, 1)(generator) == 1;
            close_over_names(keep);
            for (size_t k = 0; k < keep.size(); ++k)
                if (!keep[k]) fate[pending_entries[k]] = kLost;
        }
        fates.push_back(fate);
    }
    return fates;
}

Tree crash_state(const Recording &recording, size_t count, const Fate &fate) {
    return build(recording, count, &fate);
}

Tree seen(const Recording &recording, size_t count) {
    return build(recording, count, nullptr);
}

}  // namespace crash_states
