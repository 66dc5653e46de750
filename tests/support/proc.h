// Runs programs for the end-to-end tests and collects what they print.
#pragma once

#include <string>
#include <vector>

struct proc_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH) with the given standard input; extra
// environment entries are "NAME=value" texts.
proc_result run_proc(const std::vector<std::string>& argv, const std::string& input = {},
                     const std::vector<std::string>& env = {});
// Path of the kxdd binary under test.
std::string kxdd_bin();
proc_result run_kxdd(const std::vector<std::string>& args, const std::string& input = {},
                     const std::vector<std::string>& env = {});

// The text without ANSI colour sequences.
std::string strip_ansi(const std::string& text);
// The first line of a text, without its line break and colours.
std::string first_line(const std::string& text);

// A directory of its own under /tmp, removed with its contents.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
