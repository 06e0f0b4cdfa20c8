#include <condition_variable>
#include <exception>
#include <system_error>
#include <mutex>

#include "brell.h"

namespace brell {

namespace {
std::exception_ptr attempt(const std::function<void(int)>& job, int t)
{
    try {
        job(t);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}
}  // namespace

struct worker_pool::shared {
    std::mutex m;
    std::condition_variable start;
    std::condition_variable done;
    const std::function<void(int)>* job = nullptr;
    std::exception_ptr failure;  // the first exception a job threw
    unsigned long generation = 0;
    int running = 0;
    bool stop = false;
};

worker_pool::worker_pool(int workers) : workers_(workers < 1 ? 1 : workers), shared_(std::make_unique<shared>())
{
    for (int t = 1; t < workers_; ++t) {
        // A machine that refuses more threads gets the work done by fewer.
        try {
            start_worker(t);
        } catch (const std::system_error&) {
            workers_ = t;
            break;
        }
    }
}

void worker_pool::start_worker(int t)
{
    threads_.emplace_back([this, t] {
        shared& s = *shared_;
        unsigned long seen = 0;
        for (;;) {
            const std::function<void(int)>* job;
            {
                std::unique_lock lock(s.m);
                s.start.wait(lock, [&] { return s.stop || s.generation != seen; });
                if (s.stop)
                    return;
                seen = s.generation;
                job = s.job;
            }
            std::exception_ptr e = attempt(*job, t);
            std::lock_guard lock(s.m);
            if (e && !s.failure)
                s.failure = e;
            if (--s.running == 0)
                s.done.notify_one();
        }
    });
}

worker_pool::~worker_pool()
{
    {
        std::lock_guard lock(shared_->m);
        shared_->stop = true;
    }
    shared_->start.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void worker_pool::run(const std::function<void(int)>& job)
{
    shared& s = *shared_;
    {
        std::lock_guard lock(s.m);
        s.job = &job;
        s.failure = nullptr;
        s.running = workers_ - 1;
        ++s.generation;
    }
    s.start.notify_all();
    std::exception_ptr mine = attempt(job, 0);
    std::unique_lock lock(s.m);
    s.done.wait(lock, [&] { return s.running == 0; });
    if (mine)
        std::rethrow_exception(mine);
    if (s.failure)
        std::rethrow_exception(s.failure);
}

}  // namespace brell
