#include "test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace brell_test {

scratch_dir::scratch_dir()
{
    std::string tmpl = (fs::temp_directory_path() / "brell-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void scratch_dir::write(const std::string& name, const std::string& text) const
{
    std::ofstream f(file(name), std::ios::binary);
    f << text;
}

std::string scratch_dir::read(const std::string& name) const
{
    std::ifstream f(file(name), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool scratch_dir::exists(const std::string& name) const { return fs::exists(file(name)); }

outcome run_binary(const std::string& dir, const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(BRELL_BIN));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(BRELL_BIN, argv.data());
        _exit(127);
    }
    close(fds[1]);
    outcome r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

capture::capture() : f_(std::tmpfile()) {}

capture::~capture() { std::fclose(f_); }

std::string capture::text() const
{
    std::fflush(f_);
    long end = std::ftell(f_);
    std::string s(static_cast<std::size_t>(end), '\0');
    std::rewind(f_);
    std::size_t got = std::fread(s.data(), 1, s.size(), f_);
    s.resize(got);
    std::fseek(f_, 0, SEEK_END);
    return s;
}

outcome run_inproc(const std::string& dir, const std::vector<std::string>& args, int threads)
{
    capture cap;
    brell::run_data dat;
    dat.dir = dir;
    dat.out = cap.file();
    dat.threads = threads;
    std::vector<const char*> argv{"brell"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    outcome r;
    r.status = brell::run_brell(static_cast<int>(argv.size()), argv.data(), dat);
    r.out = cap.text();
    return r;
}

}  // namespace brell_test
