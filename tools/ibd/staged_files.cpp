#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brell.h"
#include "ibd_tool.h"

namespace ibd {

namespace {
std::string why() { return std::strerror(errno); }
}  // namespace

void staged_files::make_dir(const std::string& dir)
{
    std::string path;
    std::size_t from = 0;
    while (from <= dir.size()) {
        std::size_t slash = dir.find('/', from);
        if (slash == std::string::npos)
            slash = dir.size();
        path = dir.substr(0, slash);
        from = slash + 1;
        if (path.empty() || path == "." || path == "..")
            continue;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                throw error(path + ": not a folder");
            continue;
        }
        if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
            throw error(path + ": cannot create folder: " + why());
        made_dirs_.push_back(path);
    }
}

std::FILE* staged_files::open(const std::string& path)
{
    // Results are for everyone in the lab to read, as a plain fopen would make them.
    std::string tmp;
    const int fd = brell::open_beside(path, tmp);
    if (fd < 0)
        throw error(path + ": cannot write: " + why());
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        const std::string reason = why();
        ::close(fd);
        std::remove(tmp.c_str());
        throw error(path + ": cannot write: " + reason);
    }
    files_.push_back({tmp, path, f});
    return f;
}

void staged_files::write(std::FILE* f, const std::string& text)
{
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        for (const staged& s : files_)
            if (s.f == f)
                throw error(s.final + ": cannot write: " + why());
}

void staged_files::add(const std::string& path, const std::string& text)
{
    write(open(path), text);
}

void staged_files::commit()
{
    for (staged& s : files_) {
        const bool ok = std::fflush(s.f) == 0 && !std::ferror(s.f);
        const int closed = std::fclose(s.f);
        s.f = nullptr;
        if (!ok || closed != 0)
            throw error(s.final + ": cannot write: " + why());
    }
    for (const staged& s : files_)
        if (std::rename(s.tmp.c_str(), s.final.c_str()) != 0)
            throw error(s.final + ": cannot write: " + why());
    committed_ = true;
}

staged_files::~staged_files()
{
    if (committed_)
        return;
    for (const staged& s : files_) {
        if (s.f)
            std::fclose(s.f);
        std::remove(s.tmp.c_str());
    }
    for (auto d = made_dirs_.rbegin(); d != made_dirs_.rend(); ++d)
        ::rmdir(d->c_str());
}

}  // namespace ibd
