// The end-to-end tests' hands and eyes inside Wine: a console program that reads one
// command per line on stdin and answers one JSON object per line on stdout. It stays up
// for a whole test group, so it keeps the handles of the processes it started (for their
// exit codes) and Wine starts only once.
//
// A command is words separated by blanks; each word is percent-encoded (%20 for a blank)
// so that paths and texts pass unchanged. Every answer has "ok"; a failure adds "error".
// Window handles travel as decimal numbers. Every wait is bounded by the caller's
// time-out or by send_timeout_ms.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "reply.h"

namespace {

std::string percent_decode(const std::string& word) {
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '%' && i + 2 < word.size()) {
            out += static_cast<char>(std::strtol(word.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += word[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (end > start) {
            words.push_back(percent_decode(line.substr(start, end - start)));
        }
        start = end + 1;
    }
    return words;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::map<std::string, command_fn>& table = command_table();
    std::string line;
    while (std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        const std::vector<std::string> words = split(line);
        if (words.empty()) {
            continue;
        }
        json_writer reply;
        reply.begin_object();
        std::string error;
        if (words[0] == "quit") {
            reply.key("ok").value(true).end_object();
            std::printf("%s\n", reply.text().c_str());
            break;
        }
        const auto found = table.find(words[0]);
        if (found == table.end()) {
            error = "unknown command " + words[0];
        } else {
            const std::vector<std::string> args(words.begin() + 1, words.end());
            error = found->second(args, reply);
        }
        if (error.empty()) {
            reply.key("ok").value(true);
        } else {
            reply.key("ok").value(false).key("error").value(error);
        }
        reply.end_object();
        std::printf("%s\n", reply.text().c_str());
    }
    end_started_processes();
    return 0;
}
