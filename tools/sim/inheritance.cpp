#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sim.h"

namespace sim {

namespace {

std::uint64_t splitmix64(std::uint64_t& x)
{
    std::uint64_t z = (x += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

rng::rng(std::uint64_t seed, std::uint64_t kindred, std::uint64_t stream)
{
    // Each (seed, kindred, stream) gets its own generator, so a kindred's
    // draws do not depend on how many kindreds come before it.
    std::uint64_t x = seed;
    x = splitmix64(x) ^ kindred;
    x = splitmix64(x) ^ stream;
    for (auto& w : s_)
        w = splitmix64(x);
}

std::uint64_t rng::next()
{
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double haldane(double d_cm) { return linkage::haldane(d_cm); }

unsigned recombine(unsigned vector, int nbits, double theta, rng& r)
{
    if (theta <= 0.0)
        return vector;
    for (int b = 0; b < nbits; ++b)
        if (r.uniform() < theta)
            vector ^= 1u << b;
    return vector;
}

map make_map(const options& opt)
{
    // The small allowance keeps a length that is a multiple of the spacing
    // on the map despite rounding (0.3 / 0.1 is 2.9999999999999996).
    const long n = static_cast<long>(std::floor(opt.length / opt.spacing * (1.0 + 1e-12))) + 1;
    map m;
    m.pos.resize(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
        // Positions as a user would type them: 0.3, not 0.30000000000000004.
        char text[32];
        std::snprintf(text, sizeof text, "%.15g", static_cast<double>(i) * opt.spacing);
        m.pos[static_cast<std::size_t>(i)] = std::min(std::strtod(text, nullptr), opt.length);
    }
    return m;
}

int draw_sibship_size(const options& opt, rng& r)
{
    double total = 0.0;
    for (double w : opt.sib_mix)
        total += w;
    double u = r.uniform() * total;
    int last = MIN_SIBS;
    for (int s = MIN_SIBS; s <= MAX_SIBS; ++s) {
        if (opt.sib_mix[s] <= 0)
            continue;
        last = s;
        if (u < opt.sib_mix[s])
            return s;
        u -= opt.sib_mix[s];
    }
    return last;  // u rounded past the end of the cumulative sum
}

namespace {

unsigned draw_at_locus(const options& opt, const sibship& sh, rng& r)
{
    std::vector<double> t = tilted_probs(sh, opt.model, opt.delta, kindred_weight(opt, sh.sibs));
    double u = r.uniform();
    std::size_t k = 0;
    for (; k + 1 < t.size(); ++k) {
        if (u < t[k])
            break;
        u -= t[k];
    }
    while (t[k] == 0.0)  // only when rounding ran past the last outcome possible
        --k;
    // Vectors of one outcome are equally likely under the null and the
    // tilt depends on the score alone, so they stay equally likely.
    const auto& vs = sh.vectors[k];
    return vs[static_cast<std::size_t>(r.uniform() * static_cast<double>(vs.size()))];
}

}  // namespace

void simulate_kindred(const options& opt, const std::array<sibship, MAX_SIBS + 1>& tables, const map& m,
                      long index, kindred_sample& out)
{
    const auto kid = static_cast<std::uint64_t>(index);
    rng size_r(opt.seed, kid, STREAM_SIZE);
    out.sibs = draw_sibship_size(opt, size_r);
    const sibship& sh = tables[out.sibs];
    const int nbits = 2 * out.sibs;
    const std::size_t n = m.pos.size();
    out.vector.resize(n);
    out.observed.resize(n);

    rng inh(opt.seed, kid, STREAM_INHERITANCE);
    if (!opt.has_locus) {
        // Uniform is the chain's stationary law: no position is special.
        unsigned v = static_cast<unsigned>(inh.next() >> 40) & static_cast<unsigned>(sh.nvectors - 1);
        out.vector[0] = v;
        for (std::size_t i = 1; i < n; ++i) {
            v = recombine(v, nbits, haldane(m.pos[i] - m.pos[i - 1]), inh);
            out.vector[i] = v;
        }
    } else {
        const unsigned at_locus = draw_at_locus(opt, sh, inh);
        const std::size_t right = static_cast<std::size_t>(
            std::lower_bound(m.pos.begin(), m.pos.end(), opt.locus) - m.pos.begin());
        unsigned v = at_locus;
        double prev = opt.locus;
        for (std::size_t i = right; i < n; ++i) {
            v = recombine(v, nbits, haldane(m.pos[i] - prev), inh);
            out.vector[i] = v;
            prev = m.pos[i];
        }
        v = at_locus;
        prev = opt.locus;
        for (std::size_t i = right; i-- > 0;) {
            v = recombine(v, nbits, haldane(prev - m.pos[i]), inh);
            out.vector[i] = v;
            prev = m.pos[i];
        }
    }

    rng markers(opt.seed, kid, STREAM_MARKERS);
    for (std::size_t i = 0; i < n; ++i)
        out.observed[i] = markers.uniform() < opt.informativeness ? sh.outcome[out.vector[i]] : -1;
}

std::string kindred_name(long index, long kindreds)
{
    const int width = static_cast<int>(std::to_string(kindreds).size());
    char text[32];
    std::snprintf(text, sizeof text, "F%0*ld", width, index + 1);
    return text;
}

}  // namespace sim
