// A run's results are the run's own: written aside, moved into place whole,
// and nothing of an earlier run left beside them to be read as this run's.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "scan_tool.h"

namespace scan {

namespace {

namespace fs = std::filesystem;

constexpr const char* LOCK = ".brell-scan.lock";
constexpr const char* STAGE = ".brell-scan-stage";

// What runs write, by folder: any other file is someone else's.
const char* const SCAN_FILES[] = {"scan.tsv", "significance.tsv", "scan.svg", "scan.png"};
const char* const CHROMOSOME_FILES[] = {"nullprobs.dat", "probs.dat", "markers.tsv", "weights.dat",
                                        "lin.out",       "lin.log",   "exp.out",     "exp.log"};
const char* const REPLICATE_FILES[] = {REPLICATE_RESULT};
// Work folders that earlier versions left when they were stopped.
const char* const OLD_WORK[] = {".replicate-work", ".scan-work"};

std::string why() { return std::strerror(errno); }

template <std::size_t N>
bool owned(const std::string& name, const char* const (&files)[N])
{
    for (const char* f : files)
        if (name == f || name.starts_with(std::string(f) + ".tmp"))  // a temporary of a stopped run
            return true;
    return false;
}

bool chromosome_folder(const fs::directory_entry& e)
{
    const std::string name = e.path().filename().string();
    return name.size() > 3 && name.starts_with("chr") && e.is_directory();
}

std::vector<fs::directory_entry> entries(const std::string& dir)
{
    std::vector<fs::directory_entry> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        out.push_back(e);
    if (ec)
        throw ibd::error(dir + ": cannot read: " + ec.message());
    return out;
}

void remove_file(const fs::path& p)
{
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        throw ibd::error(p.string() + ": cannot remove: " + why());
}

void move(const fs::path& from, const fs::path& to)
{
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw ibd::error(to.string() + ": cannot write: " + why());
}

// What an unfinished run must undo, by whichever thread ends it.
struct pending {
    std::string stage, lock;
    std::vector<std::string> made;
};

struct interrupt_state {
    std::mutex m;
    std::vector<std::unique_ptr<pending>> runs;
};
interrupt_state& state()
{
    static interrupt_state s;
    return s;
}

void undo(const pending& p)
{
    std::error_code ec;
    // Threads may still be writing into the stage: try again while they do.
    for (int i = 0; i < 5 && fs::exists(p.stage, ec); ++i)
        fs::remove_all(p.stage, ec);
    if (!p.lock.empty())
        ::unlink(p.lock.c_str());
    for (auto d = p.made.rbegin(); d != p.made.rend(); ++d)
        ::rmdir(d->c_str());
}

}  // namespace

void clean_up_on_interrupt()
{
    static std::once_flag once;
    std::call_once(once, [] {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&set, s);
        // Every thread started from here on inherits the mask; this one
        // alone takes the signals, outside any handler's limits.
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread([set] {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                return;
            // Threads at work could make the stage again as it goes (brell-ibd
            // makes the folders it writes into): it goes once they are gone,
            // by a process of one thread that outlives them. An interrupt
            // waits for the moves of a commit.
            std::vector<pending> runs;
            {
                std::lock_guard<std::mutex> g(state().m);
                for (const auto& p : state().runs)
                    runs.push_back(*p);
                int gone[2];
                pid_t helper = -1;
                if (!runs.empty() && ::pipe2(gone, O_CLOEXEC) == 0) {
                    helper = ::fork();
                    if (helper == 0) {
                        ::close(gone[1]);
                        ::alarm(30);  // never left hanging
                        char c;
                        while (::read(gone[0], &c, 1) != 0 && errno == EINTR) {
                        }
                        for (const pending& p : runs)
                            undo(p);
                        ::_exit(0);
                    }
                    ::close(gone[0]);
                }
                if (helper < 0)
                    for (const pending& p : runs)
                        undo(p);
                state().runs.clear();
            }
            // End as the signal would have ended the program.
            ::signal(sig, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(sig);
            ::_exit(128 + sig);
        }).detach();
    });
}

void run_folder::check(const std::string& dir, kind k)
{
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
        if (k == kind::replicate)
            throw ibd::error(dir + ": no such replicate folder");
        // Made at the start of the work: its nearest existing parent must take it.
        fs::path parent = fs::path(dir).parent_path();
        while (!parent.empty() && ::stat(parent.c_str(), &st) != 0)
            parent = parent.parent_path();
        const std::string where = parent.empty() ? "." : parent.string();
        if (!parent.empty() && !S_ISDIR(st.st_mode))
            throw ibd::error(where + ": not a folder, so " + dir + " cannot be made");
        if (::access(where.c_str(), W_OK | X_OK) != 0)
            throw ibd::error(dir + ": cannot be made in " + where + ": " + why());
        return;
    }
    if (!S_ISDIR(st.st_mode))
        throw ibd::error(dir + ": not a folder");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw ibd::error(dir + ": cannot write there: " + why());
    auto files = [&](const auto& names) {
        for (const char* f : names)
            if (fs::is_directory(fs::path(dir) / f))
                throw ibd::error((fs::path(dir) / f).string() + ": a folder, where the results file goes");
    };
    if (k == kind::scan)
        files(SCAN_FILES);
    else
        files(REPLICATE_FILES);
}

run_folder::run_folder(const std::string& dir, kind k) : dir_(dir), kind_(k)
{
    // An interrupt waits until this run is known, and so what to undo.
    std::unique_lock<std::mutex> g(state().m);
    try {
        take(k);
    } catch (...) {
        g.unlock();
        release();
        throw;
    }
    state().runs.push_back(std::make_unique<pending>(pending{stage_, lock_, made_}));
}

void run_folder::take(kind k)
{
    const std::string& dir = dir_;
    if (k == kind::scan) {
        std::vector<std::string> missing;
        for (fs::path p = dir; !p.empty() && !fs::exists(p); p = p.parent_path())
            missing.push_back(p.string());
        for (auto d = missing.rbegin(); d != missing.rend(); ++d) {
            if (::mkdir(d->c_str(), 0777) != 0 && errno != EEXIST)
                throw ibd::error(*d + ": cannot create folder: " + why());
            made_.push_back(*d);
        }
    }
    // A lock that is a file, released by the system however the run ends;
    // taken again if its holder removed it as we opened it.
    const std::string lock = (fs::path(dir) / LOCK).string();
    for (;;) {
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            throw ibd::error(lock + ": cannot write: " + why());
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            if (e == EWOULDBLOCK)
                throw ibd::error(dir + ": another brell-scan is writing its results there (it holds " + lock +
                                 "); wait for it to end, or choose another folder");
            throw ibd::error(lock + ": cannot lock: " + std::strerror(e));
        }
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::stat(lock.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            lock_fd_ = fd;
            lock_ = lock;
            break;
        }
        ::close(fd);
    }
    static std::atomic<unsigned long> serial{0};
    for (;;) {
        const std::string s = (fs::path(dir) / STAGE).string() + "." + std::to_string(::getpid()) + "-" +
                              std::to_string(serial++);
        if (::mkdir(s.c_str(), 0777) == 0) {
            stage_ = s;
            return;
        }
        if (errno != EEXIST)
            throw ibd::error(dir + ": cannot write there: " + why());
    }
}

namespace {

// Caller holds the state's mutex.
void forget(const std::string& stage)
{
    auto& runs = state().runs;
    std::erase_if(runs, [&](const auto& p) { return p->stage == stage; });
}

}  // namespace

void run_folder::release()
{
    {
        std::lock_guard<std::mutex> g(state().m);
        forget(stage_);
    }
    undo(pending{stage_, lock_, made_});
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
    lock_fd_ = -1;
    stage_.clear();
    lock_.clear();
    made_.clear();
}

run_folder::~run_folder()
{
    if (!stage_.empty() || lock_fd_ >= 0)
        release();
}

void run_folder::commit()
{
    std::lock_guard<std::mutex> g(state().m);  // an interrupt waits for the moves
    const fs::path dir(dir_), stage(stage_);
    const std::vector<fs::directory_entry> staged = entries(stage_), before = entries(dir_);

    std::set<std::string> chromosomes;
    for (const auto& e : staged)
        if (chromosome_folder(e)) {
            const fs::path target = dir / e.path().filename();
            std::error_code ec;
            if (fs::exists(fs::symlink_status(target, ec)) && !fs::is_directory(target, ec))
                throw ibd::error(target.string() + ": not a folder, where a chromosome's files go");
            chromosomes.insert(e.path().filename().string());
        }
    for (const std::string& c : chromosomes) {
        const fs::path from = stage / c, to = dir / c;
        if (!fs::exists(to)) {
            move(from, to);
            continue;
        }
        std::set<std::string> written;
        for (const auto& f : entries(from.string())) {
            written.insert(f.path().filename().string());
            move(f.path(), to / f.path().filename());
        }
        for (const auto& f : entries(to.string()))
            if (owned(f.path().filename().string(), CHROMOSOME_FILES) && !written.count(f.path().filename().string()))
                remove_file(f.path());
    }
    // Chromosomes this run did not analyse: their results go, a user's own
    // files stay (and with them the folder).
    for (const auto& e : before)
        if (kind_ == kind::scan && chromosome_folder(e) && !chromosomes.count(e.path().filename().string())) {
            for (const auto& f : entries(e.path().string()))
                if (owned(f.path().filename().string(), CHROMOSOME_FILES))
                    remove_file(f.path());
            ::rmdir(e.path().c_str());
        }

    const auto move_top = [&](const auto& names) {
        std::set<std::string> written;
        for (const char* f : names)
            if (fs::exists(stage / f)) {
                move(stage / f, dir / f);
                written.insert(f);
            }
        for (const auto& e : before) {
            const std::string name = e.path().filename().string();
            if (owned(name, names) && !written.count(name) && !e.is_directory())
                remove_file(e.path());
        }
    };
    if (kind_ == kind::scan)
        move_top(SCAN_FILES);
    else
        move_top(REPLICATE_FILES);

    // Work of earlier runs that were stopped: no run holds it while we hold the lock.
    std::error_code ec;
    for (const auto& e : before) {
        const std::string name = e.path().filename().string();
        bool old = name.starts_with(std::string(STAGE) + ".") && e.path() != stage;
        for (const char* w : OLD_WORK)
            old = old || name == w;
        if (old)
            fs::remove_all(e.path(), ec);
    }
    fs::remove_all(stage, ec);
    forget(stage_);
    ::unlink(lock_.c_str());
    ::close(lock_fd_);
    lock_fd_ = -1;
    stage_.clear();
    made_.clear();
}

}  // namespace scan
