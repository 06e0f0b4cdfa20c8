#include "brell.h"

namespace brell {

// The expected score uses the position's probabilities as read, unnormalised.
// Kindreds are independent, so the workers share them out.
void compute_fam_npl(run_data& dat)
{
    worker_pool pool(std::min(dat.threads, dat.nfam));
    pool.run([&](int t) {
        for (std::size_t i = static_cast<std::size_t>(t); i < dat.fam.size(); i += static_cast<std::size_t>(pool.size())) {
            fam_record& r = dat.fam[i];
            r.npl = dat.position_array();
            r.npl.resize(static_cast<std::size_t>(dat.npos));  // every value is written below
            for (int p = 0; p < dat.npos; ++p) {
                const double* prob = r.prob_at(p);
                double e = 0.0;
                for (int k = 0; k < r.nscores; ++k)
                    e = e + r.score[k] * prob[k];
                r.npl[p] = (e - r.mean) / r.sd;
            }
        }
    });
}

}  // namespace brell
