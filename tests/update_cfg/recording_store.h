// A stand-in for libxml.so that logs every call and answers as a test tells
// it: a store that fails to open, hands out a bad handle, refuses writes or
// fails to save.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

struct RecordingStore {
    struct Write {
        int handle;
        std::string value;
        int len;
        std::string entry;
    };
    std::vector<std::string> calls;
    std::vector<Write> writes;
    std::map<std::string, int> handle_for;  // path -> handle; unnamed paths get 1, 2, ...
    int write_result = 0;
    std::map<int, int> save_result;  // handle -> result; 0 when unnamed
    int next_handle = 1;
    // Runs before each open: what happens to the files while the tool runs.
    std::function<void(const std::string &path)> on_open;

    static RecordingStore &instance();
    void reset() { *this = RecordingStore(); }
};
