#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "brell.h"

namespace brell {

// Written beside the old results under a temporary name and renamed over
// them only when complete, so a failed run never leaves a partial file.
void report(const run_data& dat)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(dat.npos) * 70);
    char buf[256];
    for (int p = 0; p < dat.npos; ++p) {
        int n = std::snprintf(buf, sizeof buf, "%12.5le  %12.5le  %12.5le  %12.5le  %12.5le\n", dat.pos[p],
                              dat.npl_z[p], dat.zlr[p], dat.lod[p], dat.delta[p]);
        text.append(buf, static_cast<std::size_t>(n));
    }

    std::string final_path = dat.path(RESULTS_FILE);
    // A link named brell.out keeps pointing where it did: its target is
    // replaced, as writing through the link would have done.
    struct stat st;
    if (lstat(final_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* target = realpath(final_path.c_str(), nullptr)) {
            final_path = target;
            std::free(target);
        }
    }
    // Replacing earlier results keeps their mode (and owner), as truncating
    // them would have; the temporary is never more open than they are.
    struct stat old;
    const bool replacing = stat(final_path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    std::string tmp_path;
    int fd = open_beside(final_path, tmp_path, replacing ? old.st_mode & 0777 : 0666);
    if (fd < 0)
        throw open_error(RESULTS_FILE);
    if (replacing) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not ours to give away: the results stay with their writer.
        }
        fchmod(fd, old.st_mode & 07777);
    }

    const run_error not_written(format("Run-time error:  file (%s) could not be written\n", RESULTS_FILE));
    file_ptr f(fdopen(fd, "w"));
    if (!f) {
        close(fd);
        unlink(tmp_path.c_str());
        throw not_written;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    ok = std::fflush(f.get()) == 0 && ok;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok || std::rename(tmp_path.c_str(), final_path.c_str()) != 0) {
        unlink(tmp_path.c_str());
        throw not_written;
    }
}

}  // namespace brell
