#include "strace_log.h"

#include <cstdlib>
#include <map>

#include "process.h"
#include "scratch.h"

namespace testing_support {
namespace {

// The end of the quoted string, bracketed group or -y path that starts at
// begin, or of the plain token there: the index just past it.
size_t skip_item(const std::string &text, size_t begin) {
    const char open = text[begin];
    if (open == '"') {
        size_t at = begin + 1;
        while (at < text.size() && text[at] != '"') at += text[at] == '\\' ? 2 : 1;
        return at + 1;
    }
    if (open == '<') {
        const size_t close = text.find('>', begin);
        return close == std::string::npos ? text.size() : close + 1;
    }
    if (open == '[' || open == '{' || open == '(') {
        const char close = open == '[' ? ']' : open == '{' ? '}' : ')';
        size_t at = begin + 1;
        while (at < text.size() && text[at] != close) at = skip_item(text, at);
        return at + 1;
    }
    return begin + 1;
}

std::vector<std::string> split_arguments(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0, at = 0;
    while (at < text.size()) {
        if (text[at] == ',') {
            parts.push_back(text.substr(start, at - start));
            at += 1;
            while (at < text.size() && text[at] == ' ') ++at;
            start = at;
        } else {
            at = skip_item(text, at);
        }
    }
    if (start < text.size()) parts.push_back(text.substr(start));
    return parts;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string &text) {
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\' || at + 1 == text.size()) {
            out += text[at];
            continue;
        }
        const char c = text[++at];
        if (c == 'x' && at + 2 < text.size() && hex_digit(text[at + 1]) >= 0 &&
            hex_digit(text[at + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[at + 1]) * 16 + hex_digit(text[at + 2]));
            at += 2;
        } else if (c >= '0' && c <= '7') {
            int value = 0, digits = 0;
            while (digits < 3 && at < text.size() && text[at] >= '0' && text[at] <= '7') {
                value = value * 8 + (text[at++] - '0');
                ++digits;
            }
            --at;
            out += static_cast<char>(value);
        } else {
            static const std::string from = "ntrvf", to = "\n\t\r\v\f";
            const size_t which = from.find(c);
            out += which == std::string::npos ? c : to[which];
        }
    }
    return out;
}

// One whole call's line, without the process id: false for anything else.
bool parse_call(const std::string &text, SystemCall &call) {
    size_t at = 0;
    while (at < text.size() && (isalnum(static_cast<unsigned char>(text[at])) || text[at] == '_'))
        ++at;
    if (at == 0 || at >= text.size() || text[at] != '(') return false;
    call.name = text.substr(0, at);
    const size_t close = skip_item(text, at) - 1;
    if (close >= text.size()) return false;
    call.arguments = text.substr(at + 1, close - at - 1);
    call.argument = split_arguments(call.arguments);
    const size_t equals = text.find(" = ", close);
    if (equals == std::string::npos) return false;
    size_t value = equals + 3;
    size_t end = value;
    while (end < text.size() && text[end] != ' ' && text[end] != '<') ++end;
    call.result = text.substr(value, end - value);
    if (end < text.size() && text[end] == '<') {
        const size_t path_end = skip_item(text, end);
        call.result_path = unescape(text.substr(end + 1, path_end - end - 2));
        end = path_end;
    }
    if (call.result == "-1" && end + 1 < text.size()) {
        const size_t error_end = text.find(' ', end + 1);
        call.error = text.substr(
            end + 1, error_end == std::string::npos ? std::string::npos : error_end - end - 1);
    }
    return true;
}

}  // namespace

std::string strace_note() {
    if (!shell_succeeds("command -v strace")) return "strace is not installed";
    return emulation_note();
}

std::vector<std::string> under_strace(std::vector<std::string> options,
                                      const std::vector<std::string> &program) {
    options.insert(options.begin(),
                   {"/usr/bin/env", "strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0"});
    options.insert(options.end(), program.begin(), program.end());
    return options;
}

std::vector<std::string> inject(const std::string &call, const std::string &what, int nth) {
    return {"-e", "trace=" + call, "-e",
            "inject=" + call + ":" + what + (nth > 0 ? ":when=" + std::to_string(nth) : "")};
}

std::vector<SystemCall> parse_strace(const std::string &log) {
    std::vector<SystemCall> calls;
    std::map<int, std::string> unfinished;  // pid -> the start of its call
    static const std::string kUnfinished = " <unfinished ...>";
    for (std::string text : lines_of(log)) {
        int pid = 0;
        size_t at = 0;
        while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) ++at;
        if (at > 0 && at < text.size() && text[at] == ' ') {
            pid = std::atoi(text.substr(0, at).c_str());
            while (at < text.size() && text[at] == ' ') ++at;
            text = text.substr(at);
        }
        if (text.size() >= kUnfinished.size() &&
            text.compare(text.size() - kUnfinished.size(), kUnfinished.size(), kUnfinished) == 0) {
            unfinished[pid] = text.substr(0, text.size() - kUnfinished.size());
            continue;
        }
        if (text.compare(0, 5, "<... ") == 0) {
            const size_t resumed = text.find(" resumed>");
            if (resumed == std::string::npos || !unfinished.count(pid)) continue;
            text = unfinished[pid] + text.substr(resumed + 9);
            unfinished.erase(pid);
        }
        SystemCall call;
        call.pid = pid;
        if (parse_call(text, call)) calls.push_back(call);
    }
    return calls;
}

std::string unquote(const std::string &argument) {
    if (argument.size() < 2 || argument.front() != '"') return argument;
    size_t close = argument.size() - 1;
    while (close > 0 && argument[close] != '"') --close;  // past a "..." that marks a cut
    return unescape(argument.substr(1, close - 1));
}

bool descriptor(const std::string &argument, int &fd, std::string &path) {
    const size_t open = argument.find('<');
    const std::string number = argument.substr(0, open);
    if (number == "AT_FDCWD") {
        fd = -100;
    } else if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
        fd = std::atoi(number.c_str());
    } else {
        return false;
    }
    path.clear();
    if (open != std::string::npos) {
        const size_t close = argument.rfind('>');
        if (close != std::string::npos && close > open)
            path = unescape(argument.substr(open + 1, close - open - 1));
    }
    return true;
}

}  // namespace testing_support
