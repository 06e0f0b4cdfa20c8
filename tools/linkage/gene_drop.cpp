#include <algorithm>
#include <cmath>

#include "gene_drop.h"

namespace linkage {


meioses meiosis_layout(const family& f, const std::string& file)
{
    meioses mz;
    mz.order = parents_first(f, file);
    mz.bit.assign(f.persons.size(), -1);
    for (int i : mz.order) {
        const person& p = f.persons[i];
        if ((p.father < 0) != (p.mother < 0))
            throw input_error(file, p.line, "family " + f.id + ": person " + p.id + " has one parent given without the other");
        if (p.father < 0) {
            mz.founders.push_back(i);
        } else {
            mz.bit[i] = mz.nbits();
            mz.nonfounders.push_back(i);
        }
    }
    return mz;
}

inheritance draw_inheritance(int nbits, const std::vector<double>& cm, const uniform_source& u)
{
    inheritance inh;
    inh.nbits = nbits;
    inh.bits.resize(cm.size() * static_cast<std::size_t>(nbits));
    for (std::size_t m = 0; m < cm.size(); ++m) {
        std::uint8_t* v = inh.at(m);
        if (m == 0) {
            for (int k = 0; k < nbits; ++k)
                v[k] = u() < 0.5;
            continue;
        }
        const double theta = haldane(cm[m] - cm[m - 1]);
        const std::uint8_t* prev = inh.at(m - 1);
        for (int k = 0; k < nbits; ++k)
            v[k] = prev[k] ^ static_cast<std::uint8_t>(u() < theta);
    }
    return inh;
}

void founder_labels(const meioses& mz, const family& f, const std::uint8_t* vector, std::vector<label_pair>& labels)
{
    labels.resize(f.persons.size());
    int next = 0;
    for (int i : mz.order) {
        const person& p = f.persons[i];
        if (mz.bit[i] < 0) {
            labels[i] = {next, next + 1};
            next += 2;
        } else {
            labels[i] = {labels[p.father][vector[mz.bit[i]]], labels[p.mother][vector[mz.bit[i] + 1]]};
        }
    }
}

namespace {

std::uint16_t draw_allele(const std::vector<double>& freq, double u)
{
    std::size_t k = 0;
    for (; k + 1 < freq.size(); ++k) {
        if (u < freq[k])
            break;
        u -= freq[k];
    }
    while (k > 0 && freq[k] == 0.0)  // only when rounding ran past the last allele possible
        --k;
    return static_cast<std::uint16_t>(k + 1);
}

}  // namespace

void gene_drop(family& f, const meioses& mz, const std::vector<marker>& markers, const std::vector<int>& columns,
               const inheritance& inh, const uniform_source& u)
{
    const std::size_t n = f.persons.size();
    if (f.geno.size() != markers.size() * n)
        f.geno.assign(markers.size() * n, genotype{});
    std::vector<label_pair> labels;
    std::vector<std::uint16_t> allele(2 * mz.founders.size());
    for (std::size_t m = 0; m < columns.size(); ++m) {
        const auto col = static_cast<std::size_t>(columns[m]);
        for (auto& a : allele)
            a = draw_allele(markers[col].freq, u());
        founder_labels(mz, f, inh.at(m), labels);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint16_t a = allele[labels[i][0]], b = allele[labels[i][1]];
            f.at(col, i) = {std::min(a, b), std::max(a, b)};
        }
    }
}

}  // namespace linkage
