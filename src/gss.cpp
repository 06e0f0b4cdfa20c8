#include <cmath>
#include <cstring>

#include "brell.h"

namespace brell {

namespace {

const double R = (3.0 - std::sqrt(5.0)) * 0.5;

// Objective values as they come: every comparison on the exact numbers.
struct exact_values {
    using value = double;

    const run_data& dat;
    objective f;
    eval_point& pt;
    int p;

    value at(double x, int slot, int = 0)
    {
        pt.x = x;
        pt.slot = slot;
        f(dat, pt, p);
        return pt.f;
    }
    double exact(value v) { return v; }
    bool apart(value a, value b) { return std::fabs(a - b) > TOL; }
    bool greater(value a, value b) { return a > b; }
    bool at_most(value a, value b) { return a <= b; }
};

// Exponential-model values known first only by bounds that are cheap to
// have (exp_tables::bound_at on tabled terms, approx_bound elsewhere, with
// no call of the library's exponential): a comparison that the bounds settle needs no
// more, any other makes both values exact. So every decision, and every
// value reported, is the one the exact values give.
struct bounded_values {
    struct value {
        double x = 0.0;
        int slot = -1;
        bool exact = false;
        double f = 0.0;  // when exact
        double lo = 0.0;
        double hi = 0.0;
    };

    const run_data& dat;
    eval_point& pt;
    int p;

    value at(double x, int slot, int step = 0)
    {
        const exp_tables& t = *dat.exp_cache;
        value v;
        v.x = x;
        v.slot = slot;
        const std::size_t s = static_cast<std::size_t>(slot);
        bool known;
        if (slot >= 0 && s < t.x.size() && std::memcmp(&t.x[s], &x, sizeof x) == 0) {
            known = t.bound_at(dat, p, t.terms.data() + s * t.offset.back(), t.s[s], v.lo, v.hi);
        } else if (t.approx_pays) {
            known = t.approx_bound(dat, p, x, step, pt.cache, v.lo, v.hi);
        } else {
            if (pt.work.size() < t.work_size())
                pt.work.resize(t.work_size());
            const double sum_log_d = t.fill(dat, x, pt.work.data());
            known = t.bound_at(dat, p, pt.work.data(), sum_log_d, v.lo, v.hi);
        }
        if (!known)
            exact(v);
        return v;
    }
    double exact(value& v)
    {
        if (!v.exact) {
            pt.x = v.x;
            pt.slot = v.slot;
            f1_exponential(dat, pt, p);
            v.f = v.lo = v.hi = pt.f;
            v.exact = true;
        }
        return v.f;
    }
    // |a - b| > TOL, settled by the bounds when every difference they allow
    // is clear of TOL by more than the rounding of the difference.
    bool apart(value& a, value& b)
    {
        if (!a.exact || !b.exact) {
            const double least = a.lo - b.hi;
            const double most = a.hi - b.lo;
            const double slack =
                1e-15 * (std::fabs(a.lo) + std::fabs(a.hi) + std::fabs(b.lo) + std::fabs(b.hi)) + 1e-300;
            if (least - slack > TOL || most + slack < -TOL)
                return true;
            if (least - slack > -TOL && most + slack < TOL)
                return false;
            exact(a);
            exact(b);
        }
        return std::fabs(a.f - b.f) > TOL;
    }
    bool greater(value& a, value& b)
    {
        if (a.lo > b.hi)
            return true;
        if (a.hi < b.lo)
            return false;
        return exact(a) > exact(b);
    }
    bool at_most(value& a, value& b)
    {
        if (a.hi < b.lo)
            return true;
        if (a.lo > b.hi)
            return false;
        return exact(a) <= exact(b);
    }
};

template <class values>
void search(values& ev, run_data& dat, int p, std::string& msgs)
{
    const double r = R;
    const double ln10 = std::log(10.0);
    double a = dat.dmin;
    double b = dat.dmax;
    double first[4];
    gss_first_points(a, b, first);
    typename values::value fa = ev.at(a, 0);
    typename values::value fb = ev.at(b, 1);
    double x1 = first[2];
    typename values::value f1 = ev.at(x1, 2);
    double x2 = first[3];
    typename values::value f2 = ev.at(x2, 3);

    int step = 1;
    while (ev.apart(f1, f2)) {  // false for nan: the search ends
        if (step > 49)
            break;
        if (ev.greater(f1, f2)) {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = b - r * (b - a);
            f2 = ev.at(x2, -1, step);
        } else {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = a + r * (b - a);
            f1 = ev.at(x1, -1, step);
        }
        ++step;
    }
    if (step == 50)
        msgs += format("Warning: golden-section search terminated at %d iterations\n", step);

    // Ties go to x1, then x2, then the lower end; the upper end also takes
    // every case where the values do not compare.
    if (ev.at_most(f1, f2) && ev.at_most(f1, fa) && ev.at_most(f1, fb)) {
        dat.delta[p] = x1;
        dat.lod[p] = -ev.exact(f1) / ln10;
    } else if (ev.at_most(f2, f1) && ev.at_most(f2, fa) && ev.at_most(f2, fb)) {
        dat.delta[p] = x2;
        dat.lod[p] = -ev.exact(f2) / ln10;
    } else if (ev.at_most(fa, f1) && ev.at_most(fa, f2) && ev.at_most(fa, fb)) {
        dat.delta[p] = dat.dmin;
        dat.lod[p] = -ev.exact(fa) / ln10;
        msgs += format("Golden-section search maximizes on [min] boundary for pos = %12.5le\n", dat.pos[p]);
    } else {
        dat.delta[p] = dat.dmax;
        dat.lod[p] = -ev.exact(fb) / ln10;
        msgs += format("Golden-section search maximizes on [max] boundary for pos = %12.5le\n", dat.pos[p]);
    }
}

}  // namespace

void gss_first_points(double a, double b, double out[4])
{
    const double d = R * (b - a);
    out[0] = a;
    out[1] = b;
    out[2] = a + d;
    out[3] = b - d;
}

void gss(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs)
{
    if (f == f1_exponential && dat.exp_cache) {
        bounded_values ev{dat, pt, p};
        search(ev, dat, p, msgs);
    } else {
        exact_values ev{dat, f, pt, p};
        search(ev, dat, p, msgs);
    }
}

}  // namespace brell
