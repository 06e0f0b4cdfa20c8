#include <algorithm>

#include "cluster_drop.h"

namespace linkage {

namespace {

std::size_t draw_haplotype(const cluster& c, double u)
{
    std::size_t h = 0;
    for (; h + 1 < c.count(); ++h) {
        if (u < c.freq[h])
            break;
        u -= c.freq[h];
    }
    return h;
}

}  // namespace

void gene_drop(family& f, const meioses& mz, const std::vector<marker>& markers, const cluster_set& cs,
               const std::vector<locus>& loci, const inheritance& inh, const uniform_source& u)
{
    const std::size_t n = f.persons.size();
    if (f.geno.size() != markers.size() * n)
        f.geno.assign(markers.size() * n, genotype{});
    inheritance one;
    one.nbits = inh.nbits;
    std::vector<label_pair> labels;
    std::vector<std::size_t> hap(2 * mz.founders.size());
    for (std::size_t l = 0; l < loci.size(); ++l) {
        if (loci[l].cluster < 0) {
            one.bits.assign(inh.at(l), inh.at(l) + inh.nbits);
            gene_drop(f, mz, markers, {loci[l].marker}, one, u);
            continue;
        }
        const cluster& c = cs.list[loci[l].cluster];
        for (std::size_t& h : hap)
            h = draw_haplotype(c, u());
        founder_labels(mz, f, inh.at(l), labels);
        for (std::size_t j = 0; j < c.size(); ++j)
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint16_t a = c.haplotype(hap[labels[i][0]])[j], b = c.haplotype(hap[labels[i][1]])[j];
                f.at(c.markers[j], i) = {std::min(a, b), std::max(a, b)};
            }
    }
}

}  // namespace linkage
