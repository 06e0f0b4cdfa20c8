#include "brell.h"

namespace brell {

// Kindred by kindred, shared out among the workers.
void compute_weighted_fam_npl(run_data& dat)
{
    worker_pool pool(std::max(1, std::min(dat.threads, dat.nfam)));
    pool.run([&](int t) {
        for (std::size_t i = static_cast<std::size_t>(t); i < dat.fam.size(); i += static_cast<std::size_t>(pool.size())) {
            fam_record& r = dat.fam[i];
            r.wnpl = dat.position_array();
            r.wnpl.resize(static_cast<std::size_t>(dat.npos));  // every value is written below
            for (int p = 0; p < dat.npos; ++p)
                r.wnpl[p] = r.weight * r.npl[p];
        }
    });
}

}  // namespace brell
