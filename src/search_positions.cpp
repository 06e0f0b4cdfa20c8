#include <algorithm>
#include <atomic>

#include "brell.h"

namespace brell {

namespace {

// Positions a worker takes at a time: the grid bounds a few together.
constexpr int BLOCK = exp_tables::MAX_BOUND_POSITIONS;

void search_block(run_data& dat, int p0, int p1, objective f, eval_point& pt, std::string* msgs)
{
    if (dat.search == SEARCH_GRID) {
        grid_block(dat, p0, p1, f, pt, msgs);
        return;
    }
    for (int p = p0; p < p1; ++p)
        gss(dat, p, f, pt, msgs[p - p0]);
}

}  // namespace

// Positions are independent: workers take them in turn, a block at a time,
// and each position's messages are kept and printed in position order, so
// the output does not depend on the number of threads.
void search_positions(run_data& dat, objective f)
{
    const int workers = std::max(1, std::min(dat.threads, (dat.npos + BLOCK - 1) / BLOCK));
    if (workers == 1) {
        eval_point pt;
        std::string msgs[BLOCK];
        for (int p = 0; p < dat.npos; p += BLOCK) {
            const int p1 = std::min(dat.npos, p + BLOCK);
            search_block(dat, p, p1, f, pt, msgs);
            for (int i = 0; i < p1 - p; ++i) {
                std::fputs(msgs[i].c_str(), dat.out);
                msgs[i].clear();
            }
        }
        return;
    }
    std::vector<std::string> msgs(dat.npos);
    std::atomic<int> next{0};
    worker_pool pool(workers);
    pool.run([&](int) {
        eval_point pt;
        try {
            for (int p; (p = next.fetch_add(BLOCK)) < dat.npos;)
                search_block(dat, p, std::min(dat.npos, p + BLOCK), f, pt, msgs.data() + p);
        } catch (...) {
            next = dat.npos;  // the others stop too
            throw;
        }
    });
    for (const std::string& m : msgs)
        std::fputs(m.c_str(), dat.out);
}

}  // namespace brell
