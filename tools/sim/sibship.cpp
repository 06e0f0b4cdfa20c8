#include <algorithm>
#include <cmath>

#include "sim.h"

namespace sim {

int pairs_score(int sibs, unsigned vector)
{
    int score = 0;
    for (int j = 0; j < sibs; ++j)
        for (int l = j + 1; l < sibs; ++l) {
            score += ((vector >> (2 * j)) & 1u) == ((vector >> (2 * l)) & 1u);
            score += ((vector >> (2 * j + 1)) & 1u) == ((vector >> (2 * l + 1)) & 1u);
        }
    return score;
}

sibship enumerate_sibship(int sibs)
{
    sibship sh;
    sh.sibs = sibs;
    sh.nvectors = 1 << (2 * sibs);
    std::vector<int> by_vector(sh.nvectors);
    for (int v = 0; v < sh.nvectors; ++v)
        by_vector[v] = pairs_score(sibs, static_cast<unsigned>(v));

    sh.score = by_vector;
    std::sort(sh.score.begin(), sh.score.end());
    sh.score.erase(std::unique(sh.score.begin(), sh.score.end()), sh.score.end());
    const std::size_t n = sh.score.size();
    sh.count.assign(n, 0);
    sh.vectors.assign(n, {});
    sh.outcome.resize(sh.nvectors);
    for (int v = 0; v < sh.nvectors; ++v) {
        auto k = static_cast<std::size_t>(std::lower_bound(sh.score.begin(), sh.score.end(), by_vector[v]) -
                                          sh.score.begin());
        sh.outcome[v] = static_cast<std::uint8_t>(k);
        ++sh.count[k];
        sh.vectors[k].push_back(static_cast<std::uint16_t>(v));
    }

    // The same operations in the same order as brell's null moments, so the
    // tilt uses exactly the standardised scores that brell will compute.
    sh.nullprob.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        sh.nullprob[k] = static_cast<double>(sh.count[k]) / sh.nvectors;
    double sum = 0.0;
    for (double p : sh.nullprob)
        sum += p;
    for (std::size_t k = 0; k < n; ++k) {
        sh.nullprob[k] = sh.nullprob[k] / sum;
        sh.mean = sh.nullprob[k] * sh.score[k] + sh.mean;
    }
    double var = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        double d = sh.score[k] - sh.mean;
        var = (d * sh.nullprob[k]) * d + var;
    }
    sh.sd = std::sqrt(var);
    sh.zscore.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        sh.zscore[k] = (sh.score[k] - sh.mean) / sh.sd;
    return sh;
}

double kindred_weight(const options& opt, int sibs)
{
    if (opt.write_weights && opt.pair_weights)
        return std::sqrt(sibs * (sibs - 1) / 2.0);
    return opt.write_weights ? opt.weight_value : 1.0;
}

std::vector<double> tilted_probs(const sibship& sh, sim::model m, double delta, double weight)
{
    const std::size_t n = sh.score.size();
    std::vector<double> t(n);
    if (m == model::exponential) {
        // Shifting the exponents by their largest keeps any finite delta
        // from overflowing; the shift cancels in the normalisation.
        double top = -INFINITY;
        for (std::size_t k = 0; k < n; ++k)
            top = std::max(top, delta * weight * sh.zscore[k]);
        for (std::size_t k = 0; k < n; ++k)
            t[k] = sh.nullprob[k] * std::exp(delta * weight * sh.zscore[k] - top);
    } else {
        // At the bound itself rounding may leave a tiny negative.
        for (std::size_t k = 0; k < n; ++k)
            t[k] = std::max(0.0, sh.nullprob[k] * (1.0 + delta * weight * sh.zscore[k]));
    }
    double sum = 0.0;
    for (double x : t)
        sum += x;
    for (double& x : t)
        x /= sum;
    return t;
}

delta_range linear_delta_range(const sibship& sh, double weight)
{
    // hi is brell's own bound: sd / ((mean - smin) w).
    return {-sh.sd / ((sh.score.back() - sh.mean) * weight), sh.sd / ((sh.mean - sh.score.front()) * weight)};
}

void check_linear_delta(const options& opt, const std::array<sibship, MAX_SIBS + 1>& tables)
{
    if (opt.model != model::linear || !opt.has_locus)
        return;
    delta_range r{-INFINITY, INFINITY};
    int lo_sibs = 0, hi_sibs = 0;
    for (int s = MIN_SIBS; s <= MAX_SIBS; ++s) {
        if (opt.sib_mix[s] <= 0)
            continue;
        delta_range rs = linear_delta_range(tables[s], kindred_weight(opt, s));
        if (rs.lo > r.lo) {
            r.lo = rs.lo;
            lo_sibs = s;
        }
        if (rs.hi < r.hi) {
            r.hi = rs.hi;
            hi_sibs = s;
        }
    }
    if (opt.delta > r.hi)
        throw error("--delta: " + shortest(opt.delta) + " is beyond the linear model's bound for sibships of " +
                    std::to_string(hi_sibs) + " (1 + delta w z would be negative at their lowest score); " +
                    "the largest allowed delta is " + shortest(r.hi));
    if (opt.delta < r.lo)
        throw error("--delta: " + shortest(opt.delta) + " is beyond the linear model's bound for sibships of " +
                    std::to_string(lo_sibs) + " (1 + delta w z would be negative at their highest score); " +
                    "the smallest allowed delta is " + shortest(r.lo));
}

}  // namespace sim
