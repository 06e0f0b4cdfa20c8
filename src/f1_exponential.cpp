#include <cmath>
#include <cstring>

#include "brell.h"

namespace brell {

namespace {

// Every term worked out where it is needed: the objective as it is defined.
void plain(const run_data& dat, eval_point& pt, int p)
{
    double f = 0.0;
    double s = 0.0;
    for (const fam_record& r : dat.fam) {
        const double* prob = r.prob_at(p);
        double d = 0.0;
        double n = 0.0;
        for (int k = 0; k < r.nscores; ++k) {
            double e = std::exp(pt.x * r.weight * r.zscore[k]);
            d = d + e * r.nullprob[k];
            n = n + e * prob[k];
        }
        f = std::log(n) + f;
        s = s + std::log(d);
    }
    f = s - f;
    if (std::fabs(f) < TOL)
        f = 0.0;
    pt.f = f;
}

}  // namespace

// Sum over kindreds of ln D - ln N: the null and position expectations of the
// tilt exp(delta * weight * zscore).
void f1_exponential(const run_data& dat, eval_point& pt, int p)
{
    if (!dat.exp_cache)
        return plain(dat, pt, p);
    const exp_tables& t = *dat.exp_cache;
    const double* terms;
    double s;
    const std::size_t slot = static_cast<std::size_t>(pt.slot);
    if (pt.slot >= 0 && slot < t.x.size() && std::memcmp(&t.x[slot], &pt.x, sizeof(double)) == 0) {
        terms = t.terms.data() + slot * t.offset.back();
        s = t.s[slot];
    } else {
        if (pt.work.size() < t.work_size())
            pt.work.resize(t.work_size());
        s = t.fill(dat, pt.x, pt.work.data());
        terms = pt.work.data();
    }
    double f = 0.0;
    for (std::size_t i = 0; i < dat.fam.size(); ++i) {
        const fam_record& r = dat.fam[i];
        const double* prob = r.prob_at(p);
        const double* e = terms + t.offset[t.set_of[i]];
        double n = 0.0;
        for (int k = 0; k < r.nscores; ++k)
            n = n + e[k] * prob[k];
        f = std::log(n) + f;
    }
    f = s - f;
    if (std::fabs(f) < TOL)
        f = 0.0;
    pt.f = f;
}

}  // namespace brell
