#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "brell.h"

namespace brell {

namespace {

// ---- An exponential without the library, with a proven error bound ----
//
// t = n ln2 + r with n = round(t / ln2), |r| <= ln2/2 (a hair more when the
// product t / ln2 rounds across a half); Cody-Waite: n * LN2_HI is exact for
// |n| < 2^21 and t - n * LN2_HI is exact by Sterbenz, so r is within an ulp
// of its value. e^r from its Taylor polynomial of degree 12, 2^n put
// straight into the exponent bits. Relative error, for |r| <= 0.35:
// truncation 0.35^13 / 13! * e^0.7 < 4e-16; evaluation, at most 24
// roundings on any term, gamma_24 * e^0.7 < 5.4e-15 (terms all positive
// once r >= 0, and |p| >= e^-0.35 otherwise); coefficients and r < 4e-16:
// below 6.2e-15, claimed as 2^-46 (1.4e-14). With FMA fewer roundings.
// Arguments from 512 in magnitude on, and not-a-number, are refused: e^t
// would not surely be a normal number.
constexpr double APPROX_ERR = 0x1p-46;
// What the library's exp may be off by. glibc's is within an ulp; four are
// allowed for any other.
constexpr double LIBM_EXP_ERR = 0x1p-50;

// Four lanes: two SSE2 registers, or one AVX2 register in the functions
// compiled for it. No function outside this file takes or returns them, so
// the compiler's note that AVX changes how they are passed does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4d __attribute__((vector_size(32)));
typedef std::uint64_t v4u __attribute__((vector_size(32)));
typedef std::int64_t v4i __attribute__((vector_size(32)));

constexpr double inv_factorial(int i)
{
    double f = 1.0;
    for (int j = 2; j <= i; ++j)
        f *= j;  // exact: 13! < 2^53
    return 1.0 / f;
}

constexpr std::size_t MAX_TABLED_TERMS = std::size_t{1} << 22;  // 32 MB

// Grid points bounded together: independent sums, side by side in memory so
// that they run in vector registers.
constexpr std::size_t BATCH = 8;  // two vectors of four

std::size_t padded(std::size_t points) { return (points + BATCH - 1) / BATCH * BATCH; }

void append_bytes(std::string& key, const void* p, std::size_t n)
{
    key.append(static_cast<const char*>(p), n);
}

// A product of positive normal numbers kept as a mantissa product and a sum
// of binary exponents, so that it neither overflows nor underflows.
struct product {
    double mant = 1.0;       // in [1, 2^512)
    long long exps = 0;      // binary exponent of the product
    long long abs_exps = 0;  // bounds the sum of |ln factor| in units of ln 2
    bool ok = true;

    void times(double n, std::size_t i)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &n, sizeof bits);
        const std::uint64_t raw = bits >> 52;  // sign and exponent
        // Positive normal numbers only: not 0, subnormal, negative, inf, nan.
        ok &= raw - 1 < 2046;
        const long long ex = static_cast<long long>(raw) - 1023;
        bits = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52);
        double m;
        std::memcpy(&m, &bits, sizeof m);
        mant *= m;
        exps += ex;
        abs_exps += (ex < 0 ? -ex : ex) + 1;
        if ((i & 511) == 511) {  // back to [1, 2) before 512 factors below 2 can overflow
            int shift;
            mant = std::frexp(mant, &shift) * 2.0;
            exps += shift - 1;
        }
    }

    // Bounds on the objective s - (sum of ln of the n factors), as the
    // objective computes it; false when there are none.
    bool finish(double s, std::size_t n, double& lo, double& hi) const
    {
        if (!ok || !std::isfinite(s))
            return false;
        const double ln2 = 0.6931471805599453;
        const double sum = static_cast<double>(exps) * ln2 + std::log(mant);
        // Rounding of the product and of the two sums of logarithms (this
        // one and the objective's), of each logarithm and of the final
        // difference: each within (n + 2) ulps of the magnitudes involved;
        // doubled.
        const double ulp = std::ldexp(1.0, -52);
        const double size = static_cast<double>(abs_exps) * ln2 + std::fabs(sum) + std::fabs(s) + 1.0;
        const double err = 4.0 * (static_cast<double>(n) + 2.0) * ulp * size + 1e-300;
        const double mid = s - sum;
        // The objective's clamp to 0 keeps the order of values, so it can be
        // applied to the bounds.
        auto clamp = [](double v) { return std::fabs(v) < TOL ? 0.0 : v; };
        lo = clamp(mid - err);
        hi = clamp(mid + err);
        return true;
    }
};

bool in_range(double v) { return v >= 0x1p-960 && v <= 0x1p960; }

// The sum over kindreds of ln D~, which no position changes, and a bound on
// the sum of its terms' magnitudes: from one logarithm of their product, or,
// when a few sets serve many kindreds, from a logarithm per set.
void sum_log_d(const exp_tables& t, const run_data& dat, const double* d_of_set, double* to)
{
    const double ln2 = 0.6931471805599453;
    if (t.model.size() * 8 < dat.fam.size()) {
        const std::vector<double>& count = t.set_size;
        double sum = 0.0;
        double size = 0.0;
        for (std::size_t c = 0; c < t.model.size(); ++c) {
            const double l = std::log(d_of_set[c]);
            sum = sum + count[c] * l;
            size = size + count[c] * (std::fabs(l) + ln2);
        }
        to[0] = sum;
        to[1] = size;
        return;
    }
    product d;
    for (std::size_t i = 0; i < dat.fam.size(); ++i)
        d.times(d_of_set[t.set_of[i]], i);
    to[0] = static_cast<double>(d.exps) * ln2 + std::log(d.mant);
    to[1] = static_cast<double>(d.abs_exps) * ln2;
}

// Bounds on the objective from the sum of ln D~ (sd, its terms' magnitudes
// within size_d) and the product of every kindred's N~. approx bounds the
// sum over kindreds of |ln D~ - ln D| + |ln N~ - ln N| (see
// exp_tables::approx_err); the rest is rounding as in product::finish, of
// two sums of logarithms on each side.
bool finish_approx(double sd, double size_d, const product& n, std::size_t nfam, double approx, double& lo,
                   double& hi)
{
    if (!n.ok)
        return false;
    const double ln2 = 0.6931471805599453;
    const double sn = static_cast<double>(n.exps) * ln2 + std::log(n.mant);
    const double ulp = std::ldexp(1.0, -52);
    const double size = size_d + static_cast<double>(n.abs_exps) * ln2 + std::fabs(sd) + std::fabs(sn) + 1.0;
    const double err = 4.0 * (static_cast<double>(nfam) + 2.0) * ulp * size + approx + 1e-300;
    const double mid = sd - sn;
    auto clamp = [](double v) { return std::fabs(v) < TOL ? 0.0 : v; };
    lo = clamp(mid - err);
    hi = clamp(mid + err);
    return true;
}

// The kernels, compiled twice: for any x86-64 and for AVX2 with FMA.
namespace plain {
#include "exp_kernel.inc"
}  // namespace plain

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace wide {
#define BRELL_KERNEL_FMA 1
#include "exp_kernel.inc"
#undef BRELL_KERNEL_FMA
}  // namespace wide
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

}  // namespace

bool has_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

bool exp_approx(double xw, const double* z, int n, double* e, bool avx2)
{
    return avx2 ? wide::exp_row(xw, z, n, e) : plain::exp_row(xw, z, n, e);
}

exp_tables::exp_tables(const run_data& dat, const std::vector<double>& slots) : x(slots)
{
    std::unordered_map<std::string, int> sets;
    std::string key;
    offset.push_back(0);
    for (const fam_record& r : dat.fam) {
        key.clear();
        append_bytes(key, &r.weight, sizeof r.weight);
        append_bytes(key, r.zscore.data(), r.zscore.size() * sizeof(double));
        append_bytes(key, r.nullprob.data(), r.nullprob.size() * sizeof(double));
        auto [it, added] = sets.emplace(key, static_cast<int>(model.size()));
        if (added) {
            model.push_back(&r);
            offset.push_back(offset.back() + static_cast<std::size_t>(r.nscores));
        }
        set_of.push_back(it->second);
    }
    set_size.assign(model.size(), 0.0);
    for (int c : set_of)
        set_size[static_cast<std::size_t>(c)] += 1.0;
    // Each kindred's D and N, each a sum of n terms: the approximate
    // exponential and the library's apart by their two errors, and each
    // sum rounded by gamma_n both here and in the objective. Products that
    // underflow lose up to 2^-1075 each, against sums of at least 2^-960.
    const double u = 0x1p-53;
    for (const fam_record& r : dat.fam)
        approx_err += 2.0 * (APPROX_ERR + LIBM_EXP_ERR) + (4.0 * u + 0x1p-110) * (r.nscores + 1.0);
    approx_err *= 1.01;  // ln(1 + e) against e, and the gammas' denominators
    wide = has_avx2();
    std::size_t rows = 0;
    for (const fam_record& r : dat.fam)
        rows += static_cast<std::size_t>(r.nscores);
    approx_pays = offset.back() * 4 > rows;
    const std::size_t per = offset.back();
    if (x.size() * per > MAX_TABLED_TERMS)
        x.clear();
    terms.resize(x.size() * per);
    s.resize(x.size());
    std::vector<double> work(work_size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        s[j] = fill(dat, x[j], work.data());
        std::memcpy(terms.data() + j * per, work.data(), per * sizeof(double));
    }
    const std::size_t cols = padded(x.size());
    terms_by_row.resize(per * cols);
    for (std::size_t row = 0; row < per; ++row)
        for (std::size_t j = 0; j < cols; ++j)
            terms_by_row[row * cols + j] = x.empty() ? 0.0 : terms[std::min(j, x.size() - 1) * per + row];
}

double exp_tables::fill(const run_data& dat, double delta, double* work) const
{
    double* log_d = work + offset.back();
    for (std::size_t c = 0; c < model.size(); ++c) {
        const fam_record& r = *model[c];
        double* e = work + offset[c];
        double d = 0.0;
        for (int k = 0; k < r.nscores; ++k) {
            e[k] = std::exp(delta * r.weight * r.zscore[k]);
            d = d + e[k] * r.nullprob[k];
        }
        log_d[c] = std::log(d);
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < dat.fam.size(); ++i)
        sum = sum + log_d[set_of[i]];
    return sum;
}

// The kindred terms N are the objective's own, bit for bit; only their
// logarithms are replaced by one logarithm of their product. Each product
// rounds by at most half an ulp, so that logarithm is within a few n ulps
// of the sum of logarithms: far closer than grid points lie apart.
void exp_tables::bounds(const run_data& dat, int p0, int np, double* lo, double* hi, char* known) const
{
    const std::size_t points = x.size();
    const std::size_t cols = padded(points);
    for (std::size_t j0 = 0; j0 < points; j0 += BATCH) {
        product prod[MAX_BOUND_POSITIONS][BATCH];
        if (wide)
            wide::tabled_products(*this, dat, p0, np, j0, cols, prod);
        else
            plain::tabled_products(*this, dat, p0, np, j0, cols, prod);
        for (int q = 0; q < np; ++q) {
            for (std::size_t b = 0; b < BATCH && j0 + b < points; ++b) {
                const std::size_t j = j0 + b;
                const std::size_t at = static_cast<std::size_t>(q) * points + j;
                known[at] = prod[q][b].finish(this->s[j], dat.fam.size(), lo[at], hi[at]);
            }
        }
    }
}

bool exp_tables::bound_at(const run_data& dat, int p, const double* terms, double s, double& lo, double& hi) const
{
    product prod;
    for (std::size_t i = 0; i < dat.fam.size(); ++i) {
        const fam_record& r = dat.fam[i];
        const double* prob = r.prob_at(p);
        const double* e = terms + offset[set_of[i]];
        double n = 0.0;
        for (int k = 0; k < r.nscores; ++k)
            n = n + e[k] * prob[k];
        prod.times(n, i);
    }
    return prod.finish(s, dat.fam.size(), lo, hi);
}

// Positions searched one after another mostly take the same first steps,
// so each thread keeps the terms at its recent deltas: a few dozen sets of
// them, in at most a few megabytes.
constexpr std::size_t CACHE_ENTRIES = 32;
constexpr std::size_t CACHE_DOUBLES = std::size_t{1} << 19;  // 4 MB
// Positions anywhere meet in the first steps too (a dozen steps in, a few
// hundred deltas serve thousands of positions): those are kept for all
// threads, within 32 MB.
constexpr int SHARED_STEPS = 14;
constexpr std::size_t SHARED_DOUBLES = std::size_t{1} << 22;

std::uint64_t bits_of(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

const double* exp_tables::shared_terms(double x, bool& found) const
{
    std::lock_guard<std::mutex> lock(shared_mutex_);
    auto it = shared_.find(bits_of(x));
    found = it != shared_.end();
    return found ? it->second.get() : nullptr;
}

void exp_tables::share_terms(double x, const double* terms, bool ok) const
{
    const std::size_t per = work_size();
    std::lock_guard<std::mutex> lock(shared_mutex_);
    if (shared_doubles_ + per > SHARED_DOUBLES || shared_.count(bits_of(x)))
        return;
    std::unique_ptr<double[]> copy;
    if (ok) {
        copy.reset(new double[per]);
        std::memcpy(copy.get(), terms, per * sizeof(double));
        shared_doubles_ += per;
    }
    shared_.emplace(bits_of(x), std::move(copy));
}

bool exp_tables::approx_bound(const run_data& dat, int p, double x, int step, approx_cache& cache, double& lo,
                              double& hi) const
{
    const std::size_t per = work_size();
    if (cache.x.empty()) {
        const std::size_t entries = std::clamp<std::size_t>(CACHE_DOUBLES / per, 1, CACHE_ENTRIES);
        cache.x.assign(entries, 0.0);
        cache.used.assign(entries, 0);
        cache.ok.assign(entries, 0);
        cache.terms.resize(entries * per);
    }
    std::size_t e = 0;
    for (std::size_t j = 0; j < cache.x.size(); ++j) {
        if (cache.used[j] && bits_of(cache.x[j]) == bits_of(x)) {
            e = j;
            break;
        }
        if (cache.used[j] < cache.used[e])
            e = j;  // least recently used, so far
    }
    const double* work = cache.terms.data() + e * per;
    if (!cache.used[e] || bits_of(cache.x[e]) != bits_of(x)) {
        bool found = false;
        const bool shared = step <= SHARED_STEPS;
        if (shared)
            work = shared_terms(x, found);
        if (found) {
            if (!work)
                return false;
        } else {
            double* own = cache.terms.data() + e * per;
            cache.x[e] = x;
            cache.used[e] = ++cache.clock;
            cache.ok[e] = wide ? wide::approx_terms(*this, dat, x, own) : plain::approx_terms(*this, dat, x, own);
            if (shared)
                share_terms(x, own, cache.ok[e]);
            if (!cache.ok[e])
                return false;
            work = own;
        }
    } else {
        cache.used[e] = ++cache.clock;
        if (!cache.ok[e])
            return false;
    }
    product n;
    const double* sd = work + offset.back() + model.size();
    const bool ok = wide ? wide::approx_products(*this, dat, p, work, n) : plain::approx_products(*this, dat, p, work, n);
    return ok && finish_approx(sd[0], sd[1], n, dat.fam.size(), approx_err, lo, hi);
}

}  // namespace brell
