#include <algorithm>
#include <atomic>

#include "brell.h"

namespace brell {

namespace {
void search_one(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs)
{
    if (dat.search == SEARCH_GRID)
        grid(dat, p, f, pt, msgs);
    else
        gss(dat, p, f, pt, msgs);
}
}  // namespace

// Positions are independent: workers take them in turn, and each position's
// messages are kept and printed in position order, so the output does not
// depend on the number of threads.
void search_positions(run_data& dat, objective f)
{
    const int workers = std::max(1, std::min(dat.threads, dat.npos));
    if (workers == 1) {
        eval_point pt;
        std::string msgs;
        for (int p = 0; p < dat.npos; ++p) {
            msgs.clear();
            search_one(dat, p, f, pt, msgs);
            std::fputs(msgs.c_str(), dat.out);
        }
        return;
    }
    std::vector<std::string> msgs(dat.npos);
    std::atomic<int> next{0};
    worker_pool pool(workers);
    pool.run([&](int) {
        eval_point pt;
        try {
            for (int p; (p = next.fetch_add(1)) < dat.npos;)
                search_one(dat, p, f, pt, msgs[p]);
        } catch (...) {
            next = dat.npos;  // the others stop too
            throw;
        }
    });
    for (const std::string& m : msgs)
        std::fputs(m.c_str(), dat.out);
}

}  // namespace brell
