#include <sys/stat.h>

#include "brell.h"

namespace brell {

std::string run_data::path(std::string_view name) const
{
    if (dir.empty())
        return std::string(name);
    std::string p = dir;
    if (p.back() != '/')
        p += '/';
    p += name;
    return p;
}

// A directory opens for reading but yields only read errors: treat it as a
// file that is not there.
file_ptr try_open(const run_data& dat, const char* name, const char* mode)
{
    file_ptr f(std::fopen(dat.path(name).c_str(), mode));
    struct stat st;
    if (f && fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode))
        f.reset();
    return f;
}

file_ptr open_file(const run_data& dat, const char* name, const char* mode)
{
    file_ptr f = try_open(dat, name, mode);
    if (!f)
        throw open_error(name);
    return f;
}

}  // namespace brell
