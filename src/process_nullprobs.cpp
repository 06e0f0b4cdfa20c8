#include <climits>
#include <cmath>

#include "brell.h"

namespace brell {

namespace {

void null_moments(fam_record& r)
{
    double sum = 0.0;
    for (int k = 0; k < r.nscores; ++k)
        sum = sum + r.nullprob[k];
    if (std::fabs(sum) < TOL) {
        // No distribution to normalise: keep the values, avoid dividing by ~0.
        r.mean = 0.0;
        r.sd = TOL;
        return;
    }
    r.mean = 0.0;
    for (int k = 0; k < r.nscores; ++k) {
        r.nullprob[k] = r.nullprob[k] / sum;
        r.mean = r.nullprob[k] * r.score[k] + r.mean;
    }
    double var = 0.0;
    for (int k = 0; k < r.nscores; ++k) {
        double d = r.score[k] - r.mean;
        var = (d * r.nullprob[k]) * d + var;
    }
    r.sd = std::sqrt(var);
    if (std::fabs(r.sd) < TOL)
        r.sd = TOL;
}

}  // namespace

// A kindred is a maximal run of consecutive rows with one identifier; the
// same identifier further down starts another kindred.
void process_nullprobs(run_data& dat)
{
    file_ptr f = open_file(dat, NULLPROBS_FILE, "r");
    line_reader in(f.get(), NULLPROBS_FILE);
    dat.fam.clear();
    std::string_view line;
    std::string_view field[3];
    while (in.next(line)) {
        int n = split_fields(line, field, 3);
        if (n == 0)
            continue;
        if (n != 3)
            throw input_error(NULLPROBS_FILE, in.line_number(), format("expected 3 fields, found %d", n));
        double nullprob = 0.0;
        double score = 0.0;
        for (int j = 1; j < 3; ++j) {
            if (!parse_number(field[j], j == 1 ? nullprob : score))
                throw input_error(NULLPROBS_FILE, in.line_number(), quoted(field[j]) + " is not a number");
        }
        if (dat.fam.empty() || dat.fam.back().name != field[0]) {
            if (dat.fam.size() >= static_cast<std::size_t>(INT_MAX))
                throw input_error(NULLPROBS_FILE, in.line_number(), "too many kindreds");
            dat.fam.emplace_back();
            dat.fam.back().name = field[0];
        }
        fam_record& r = dat.fam.back();
        if (r.nscores == INT_MAX)
            throw input_error(NULLPROBS_FILE, in.line_number(), "too many rows in one kindred");
        r.nullprob.push_back(nullprob);
        r.score.push_back(score);
        ++r.nscores;
    }
    if (dat.fam.empty())
        throw input_error(NULLPROBS_FILE, in.line_number() + 1, "no kindreds");
    dat.nfam = static_cast<int>(dat.fam.size());
    for (fam_record& r : dat.fam) {
        r.nullprob.shrink_to_fit();
        r.score.shrink_to_fit();
        null_moments(r);
    }
}

}  // namespace brell
