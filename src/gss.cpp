#include <cmath>

#include "brell.h"

namespace brell {

namespace {

const double R = (3.0 - std::sqrt(5.0)) * 0.5;

double at(const run_data& dat, objective f, eval_point& pt, int p, double x, int slot = -1)
{
    pt.x = x;
    pt.slot = slot;
    f(dat, pt, p);
    return pt.f;
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
    const double r = R;
    const double ln10 = std::log(10.0);
    double a = dat.dmin;
    double b = dat.dmax;
    double first[4];
    gss_first_points(a, b, first);
    const double fa = at(dat, f, pt, p, a, 0);
    const double fb = at(dat, f, pt, p, b, 1);
    double x1 = first[2];
    double f1 = at(dat, f, pt, p, x1, 2);
    double x2 = first[3];
    double f2 = at(dat, f, pt, p, x2, 3);

    int step = 1;
    while (std::fabs(f1 - f2) > TOL) {  // false for nan: the search ends
        if (step > 49)
            break;
        if (f1 > f2) {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = b - r * (b - a);
            f2 = at(dat, f, pt, p, x2);
        } else {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = a + r * (b - a);
            f1 = at(dat, f, pt, p, x1);
        }
        ++step;
    }
    if (step == 50)
        msgs += format("Warning: golden-section search terminated at %d iterations\n", step);

    // Ties go to x1, then x2, then the lower end; the upper end also takes
    // every case where the values do not compare.
    if (f1 <= f2 && f1 <= fa && f1 <= fb) {
        dat.delta[p] = x1;
        dat.lod[p] = -f1 / ln10;
    } else if (f2 <= f1 && f2 <= fa && f2 <= fb) {
        dat.delta[p] = x2;
        dat.lod[p] = -f2 / ln10;
    } else if (fa <= f1 && fa <= f2 && fa <= fb) {
        dat.delta[p] = dat.dmin;
        dat.lod[p] = -fa / ln10;
        msgs += format("Golden-section search maximizes on [min] boundary for pos = %12.5le\n", dat.pos[p]);
    } else {
        dat.delta[p] = dat.dmax;
        dat.lod[p] = -fb / ln10;
        msgs += format("Golden-section search maximizes on [max] boundary for pos = %12.5le\n", dat.pos[p]);
    }
}

}  // namespace brell
