#include <cstring>
#include <sys/stat.h>

#include "brell.h"

namespace brell {

namespace {
constexpr std::size_t BLOCK = std::size_t{1} << 22;
}

// A small file gets a buffer its size, so that reading it costs next to
// nothing; a large one is read a block at a time.
line_reader::line_reader(std::FILE* f, const char* name) : f_(f), name_(name)
{
    struct stat st;
    std::size_t size = BLOCK;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) < BLOCK)
        size = std::max<std::size_t>(4096, static_cast<std::size_t>(st.st_size) + 1);
    buf_.resize(size);
}

// Moves the unread tail to the front and appends one more block, growing the
// buffer only when a single line is longer than it.
bool line_reader::fill()
{
    if (eof_)
        return false;
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buf_.size() - end_ < buf_.size() / 2)
        buf_.resize(buf_.size() * 2);
    std::size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
    end_ += got;
    if (got == 0) {
        if (std::ferror(f_))
            throw input_error(name_, lineno_ + 1, "read error");
        eof_ = true;
        return false;
    }
    return true;
}

bool line_reader::next(std::string_view& line)
{
    std::size_t scanned = begin_;
    for (;;) {
        const char* start = buf_.data() + begin_;
        const void* nl = std::memchr(buf_.data() + scanned, '\n', end_ - scanned);
        if (nl) {
            const char* stop = static_cast<const char*>(nl);
            line = std::string_view(start, static_cast<std::size_t>(stop - start));
            begin_ = static_cast<std::size_t>(stop - buf_.data()) + 1;
            ++lineno_;
            return true;
        }
        std::size_t pending = end_ - begin_;
        if (!fill()) {
            if (pending == 0)
                return false;
            line = std::string_view(buf_.data() + begin_, pending);
            begin_ = end_;
            ++lineno_;
            return true;
        }
        scanned = begin_ + pending;
    }
}

bool line_reader::next_block(std::string_view& block)
{
    for (;;) {
        const char* start = buf_.data() + begin_;
        const void* nl = end_ > begin_ ? memrchr(start, '\n', end_ - begin_) : nullptr;
        if (nl) {
            const char* stop = static_cast<const char*>(nl) + 1;
            block = std::string_view(start, static_cast<std::size_t>(stop - start));
            begin_ = static_cast<std::size_t>(stop - buf_.data());
            return true;
        }
        std::size_t pending = end_ - begin_;
        if (!fill()) {
            if (pending == 0)
                return false;
            block = std::string_view(buf_.data() + begin_, pending);
            begin_ = end_;
            return true;
        }
    }
}

}  // namespace brell
