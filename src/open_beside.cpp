#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "brell.h"

namespace brell {

// The kernel applies the umask (or a folder's default ACL) as for any new
// file: asking for the umask means setting it, and another thread could
// create a file while it is 0.
int open_beside(const std::string& path, std::string& tmp, unsigned mode)
{
    static std::atomic<unsigned long> serial{0};
    for (int tries = 0; tries < 1000; ++tries) {
        tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace brell
