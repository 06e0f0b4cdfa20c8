#include <cmath>
#include <cstring>
#include <unordered_map>

#include "brell.h"

namespace brell {

namespace {

constexpr std::size_t MAX_TABLED_TERMS = std::size_t{1} << 22;  // 32 MB

void append_bytes(std::string& key, const void* p, std::size_t n)
{
    key.append(static_cast<const char*>(p), n);
}
}  // namespace

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

}  // namespace brell
