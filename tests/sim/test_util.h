// Helpers shared by the simulator's tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace simtest {

// A fresh directory removed with everything in it at the end of the test.
class temp_dir {
public:
    explicit temp_dir(const std::string& tag)
    {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("brell-sim-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line in dir, capturing both streams.
inline run_result run_in(const std::filesystem::path& dir, const std::string& cmd)
{
    const std::filesystem::path out = dir / ".stdout", err = dir / ".stderr";
    const std::string line = "cd '" + dir.string() + "' && " + cmd + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(line.c_str());
    run_result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

}  // namespace simtest
