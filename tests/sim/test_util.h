// Helpers shared by the simulator's tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// One line of brell.out.
struct result_row {
    double pos, npl_z, zlr, lod, delta;
};

inline std::vector<result_row> read_results(const std::filesystem::path& file)
{
    // strtod, unlike stream input, reads the "nan" that brell may write.
    std::istringstream in(slurp(file));
    std::vector<result_row> rows;
    for (std::string line; std::getline(in, line);) {
        double v[5];
        const char* p = line.c_str();
        for (double& x : v) {
            char* end;
            x = std::strtod(p, &end);
            p = end;
        }
        rows.push_back({v[0], v[1], v[2], v[3], v[4]});
    }
    return rows;
}

struct moments {
    double mean, sd;
};

// Mean and sample standard deviation.
inline moments moments_of(const std::vector<double>& x)
{
    double m = 0, v = 0;
    for (double e : x)
        m += e;
    m /= static_cast<double>(x.size());
    for (double e : x)
        v += (e - m) * (e - m);
    return {m, std::sqrt(v / static_cast<double>(x.size() - 1))};
}

}  // namespace simtest
