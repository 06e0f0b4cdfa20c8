// A benchmark study in which no two kindreds share a null distribution, as
// in real studies that mix many pedigree shapes: every kindred has its own
// scores and null probabilities. The same arguments give the same files,
// byte for byte (a fixed generator, splitmix64, not the library's).
//
//   brell-distinct KINDREDS OUTCOMES POSITIONS DIR
//
// Each kindred carries one outcome at a time, redrawn about every 2 cM from
// its null distribution tilted towards high scores near a locus at 87.3 cM
// (exp(0.3 z), fading over 20 cM); a position's probabilities mix the null
// with that outcome by a random informativeness.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::uint64_t state = 0x9e3779b97f4a7c15ULL;

std::uint64_t next()
{
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }

int draw(const std::vector<double>& w)
{
    double total = 0.0;
    for (double v : w)
        total += v;
    double u = uniform() * total;
    for (std::size_t k = 0; k + 1 < w.size(); ++k) {
        if (u < w[k])
            return static_cast<int>(k);
        u -= w[k];
    }
    return static_cast<int>(w.size()) - 1;
}

std::FILE* create(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "brell-distinct: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return f;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: brell-distinct KINDREDS OUTCOMES POSITIONS DIR\n");
        return 1;
    }
    const int nfam = std::atoi(argv[1]);
    const int nout = std::atoi(argv[2]);
    const int npos = std::atoi(argv[3]);
    const std::string dir = argv[4];
    if (nfam < 1 || nout < 2 || npos < 1) {
        std::fprintf(stderr, "brell-distinct: counts must be positive, at least 2 outcomes\n");
        return 1;
    }
    std::FILE* nullf = create(dir + "/nullprobs.dat");
    std::FILE* probf = create(dir + "/probs.dat");
    std::vector<double> score(nout), null(nout), z(nout), tilt(nout);
    for (int i = 0; i < nfam; ++i) {
        const double scale = 0.5 + 2.5 * uniform();
        double sum = 0.0;
        for (int k = 0; k < nout; ++k) {
            score[k] = std::round(scale * (k + 0.8 * uniform()) * 1e4) / 1e4;
            null[k] = std::round((0.05 + uniform()) * 1e6) / 1e6;
            sum += null[k];
        }
        double mean = 0.0, var = 0.0;
        for (int k = 0; k < nout; ++k)
            mean += null[k] / sum * score[k];
        for (int k = 0; k < nout; ++k)
            var += null[k] / sum * (score[k] - mean) * (score[k] - mean);
        for (int k = 0; k < nout; ++k) {
            z[k] = (score[k] - mean) / std::sqrt(var);
            std::fprintf(nullf, "D%04d %.6f %.4f\n", i + 1, null[k], score[k]);
        }
        int carried = draw(null);
        for (int p = 0; p < npos; ++p) {
            const double pos = 0.05 * p;
            if (p > 0 && uniform() < 0.025) {
                const double near = std::exp(-std::fabs(pos - 87.3) / 20.0);
                for (int k = 0; k < nout; ++k)
                    tilt[k] = null[k] * std::exp(0.3 * near * z[k]);
                carried = draw(tilt);
            }
            const double info = uniform();
            for (int k = 0; k < nout; ++k) {
                const double q = (1.0 - info) * null[k] / sum + (k == carried ? info : 0.0);
                std::fprintf(probf, "D%04d %.2f %d %.10f\n", i + 1, pos, k, q);
            }
        }
    }
    if (std::fclose(nullf) != 0 || std::fclose(probf) != 0) {
        std::fprintf(stderr, "brell-distinct: write failed\n");
        return 1;
    }
    return 0;
}
