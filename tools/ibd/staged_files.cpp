#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void staged_files::add(const std::string& path, const std::string& text)
{
    std::string tmp = path + ".tmpXXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        throw error(path + ": cannot write: " + why());
    files_.push_back({tmp, path});
    // Results are for everyone in the lab to read, as a plain fopen would make them.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string reason = why();
            ::close(fd);
            throw error(path + ": cannot write: " + reason);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0)
        throw error(path + ": cannot write: " + why());
}

void staged_files::commit()
{
    for (const auto& [tmp, final] : files_)
        if (std::rename(tmp.c_str(), final.c_str()) != 0)
            throw error(final + ": cannot write: " + why());
    committed_ = true;
}

staged_files::~staged_files()
{
    if (committed_)
        return;
    for (const auto& f : files_)
        std::remove(f.first.c_str());
    for (auto d = made_dirs_.rbegin(); d != made_dirs_.rend(); ++d)
        ::rmdir(d->c_str());
}

}  // namespace ibd
