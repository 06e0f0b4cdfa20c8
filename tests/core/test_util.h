// Shared by the test files: scratch folders, files, and running brell.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "brell.h"

namespace brell_test {

// A fresh folder under the system's temporary folder, removed at the end.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

struct outcome {
    int status = -1;
    std::string out;  // everything the run printed
};

// Runs the built brell in dir, as a separate process.
outcome run_binary(const std::string& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});

// Runs the phases in-process on dir, messages captured.
outcome run_inproc(const std::string& dir, const std::vector<std::string>& args, int threads = 1);

// Captures what a phase prints to its run_data's out.
class capture {
public:
    capture();
    ~capture();
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;
    std::FILE* file() const { return f_; }
    std::string text() const;

private:
    std::FILE* f_;
};

// The first message of a run_error thrown by fn, or "" when none is thrown.
template <class Fn>
std::string error_of(Fn&& fn)
{
    try {
        fn();
    } catch (const brell::run_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace brell_test
