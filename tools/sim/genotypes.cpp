#include <algorithm>
#include <cmath>

#include "sim.h"

namespace sim {

namespace {

std::vector<linkage::marker> base_markers(const options& opt, const map& m)
{
    const int k = opt.alleles;
    rng r(opt.seed, STUDY_WIDE, STREAM_FREQUENCIES);
    std::vector<linkage::marker> markers(m.pos.size());
    for (std::size_t i = 0; i < markers.size(); ++i) {
        linkage::marker& mk = markers[i];
        mk.name = "M" + std::to_string(i + 1);
        mk.chrom = "1";
        mk.cm = m.pos[i];
        mk.map_line = static_cast<long>(i) + 2;  // as in the map file written, after its header
        for (int a = 1; a <= k; ++a)
            mk.alleles.push_back(std::to_string(a));
        switch (opt.freqs) {
        case allele_freqs::uniform:
            mk.freq.assign(static_cast<std::size_t>(k), 1.0 / k);
            break;
        case allele_freqs::skewed:
            // Allele a has weight K + 1 - a: the first common, the last rare.
            for (int a = 1; a <= k; ++a)
                mk.freq.push_back(static_cast<double>(k + 1 - a) / (k * (k + 1) / 2));
            break;
        case allele_freqs::snp: {
            // Minor allele frequency in thousandths, so that it reads as typed.
            const int maf = 100 + static_cast<int>(r.uniform() * 401);
            mk.freq = {(1000 - maf) / 1000.0, maf / 1000.0};
            break;
        }
        }
    }
    return markers;
}

// The index that u in [0, 1) falls on when [0, 1) is cut into freq.
std::size_t draw(const std::vector<double>& freq, double u)
{
    std::size_t k = 0;
    for (; k + 1 < freq.size() && u >= freq[k]; ++k)
        u -= freq[k];
    return k;
}

}  // namespace

std::vector<linkage::cluster> make_ld(const options& opt, const map& m)
{
    std::vector<linkage::cluster> blocks;
    if (opt.ld_block == 0 || opt.alleles == 0)
        return blocks;
    const std::vector<linkage::marker> base = base_markers(opt, m);
    rng r(opt.seed, STUDY_WIDE, STREAM_LD);
    const std::size_t H = static_cast<std::size_t>(opt.ld_haplotypes);
    for (std::size_t first = 0; first < base.size(); first += static_cast<std::size_t>(opt.ld_block)) {
        linkage::cluster& c = blocks.emplace_back();
        for (std::size_t j = first; j < std::min(base.size(), first + opt.ld_block); ++j)
            c.markers.push_back(static_cast<int>(j));
        const std::size_t K = c.size();
        c.haplotypes.assign(H * K, 0);
        for (std::size_t j = 0; j < K; ++j) {
            const std::vector<double>& freq = base[c.markers[j]].freq;
            bool polymorphic = false;
            while (!polymorphic) {
                for (std::size_t h = 0; h < H; ++h) {
                    c.haplotypes[h * K + j] = static_cast<std::uint16_t>(draw(freq, r.uniform()) + 1);
                    polymorphic |= c.haplotypes[h * K + j] != c.haplotypes[j];
                }
            }
        }
        // Uniform on the simplex: normalised exponential draws.
        double total = 0.0;
        for (std::size_t h = 0; h < H; ++h) {
            const double x = -std::log1p(-r.uniform());
            total += c.freq.emplace_back(x > 0.0 ? x : 0x1p-53);
        }
        for (double& f : c.freq)
            f /= total;
    }
    return blocks;
}

std::vector<linkage::marker> make_markers(const options& opt, const map& m)
{
    std::vector<linkage::marker> markers = base_markers(opt, m);
    for (const linkage::cluster& c : make_ld(opt, m))
        for (std::size_t j = 0; j < c.size(); ++j) {
            std::vector<double>& freq = markers[c.markers[j]].freq;
            std::fill(freq.begin(), freq.end(), 0.0);
            for (std::size_t h = 0; h < c.count(); ++h)
                freq[c.haplotype(h)[j] - 1] += c.freq[h];
        }
    return markers;
}

namespace {

linkage::person member(int id, int father, int mother, linkage::sex sex, linkage::status affection)
{
    linkage::person p;
    p.id = std::to_string(id);
    p.father = father;
    p.mother = mother;
    p.sex = sex;
    p.affection = affection;
    return p;
}

}  // namespace

void simulate_pedigree(const options& opt, const std::vector<linkage::marker>& markers, const map& m, long index,
                       const kindred_sample& ks, kindred_pedigree& out, const std::vector<linkage::cluster>* ld)
{
    using linkage::sex;
    using linkage::status;
    const auto kid = static_cast<std::uint64_t>(index);
    const bool three = opt.pedigree == pedigree_shape::grandparents;
    linkage::family& f = out.family;
    f = {};
    f.id = kindred_name(index, opt.kindreds);
    // Parents' affection is left unknown: only the sibs were ascertained.
    if (three) {
        for (int g = 1; g <= 4; ++g)
            f.persons.push_back(member(g, -1, -1, g % 2 ? sex::male : sex::female, status::unknown));
        f.persons.push_back(member(5, 0, 1, sex::male, status::unknown));
        f.persons.push_back(member(6, 2, 3, sex::female, status::unknown));
    } else {
        f.persons.push_back(member(1, -1, -1, sex::male, status::unknown));
        f.persons.push_back(member(2, -1, -1, sex::female, status::unknown));
    }
    const int father = three ? 4 : 0, mother = father + 1, first_sib = mother + 1;
    rng pedigree_r(opt.seed, kid, STREAM_PEDIGREE);
    for (int j = 0; j < ks.sibs; ++j)
        f.persons.push_back(member(first_sib + j + 1, father, mother,
                                   pedigree_r.uniform() < 0.5 ? sex::male : sex::female, status::affected));
    out.meioses = linkage::meiosis_layout(f, "");

    const std::size_t npos = m.pos.size();
    linkage::inheritance& inh = out.inheritance;
    inh.nbits = out.meioses.nbits();
    inh.bits.assign(npos * static_cast<std::size_t>(inh.nbits), 0);
    for (std::size_t p = 0; p < npos; ++p) {
        std::uint8_t* v = inh.at(p);
        for (int j = 0; j < ks.sibs; ++j) {
            const int b = out.meioses.bit[first_sib + j];
            v[b] = (ks.vector[p] >> (2 * j)) & 1u;
            v[b + 1] = (ks.vector[p] >> (2 * j + 1)) & 1u;
        }
    }
    if (three) {
        // The parents' meioses do not touch the sibs' sharing, so the trait
        // leaves them uniform and their chain may start anywhere.
        rng meiosis_r(opt.seed, kid, STREAM_MEIOSES);
        const linkage::inheritance parents =
            linkage::draw_inheritance(4, m.pos, [&] { return meiosis_r.uniform(); });
        for (std::size_t p = 0; p < npos; ++p)
            for (int k = 0; k < 4; ++k)
                inh.at(p)[out.meioses.bit[k < 2 ? father : mother] + k % 2] = parents.at(p)[k];
    }

    std::vector<int> columns(npos);
    for (std::size_t p = 0; p < npos; ++p)
        columns[p] = static_cast<int>(p);
    rng allele_r(opt.seed, kid, STREAM_ALLELES);
    if (opt.ld_block == 0) {
        linkage::gene_drop(f, out.meioses, markers, columns, inh, [&] { return allele_r.uniform(); });
    } else {
        std::vector<linkage::cluster> made;
        const std::vector<linkage::cluster>& blocks = ld ? *ld : (made = make_ld(opt, m));
        const std::size_t n = f.persons.size();
        f.geno.assign(npos * n, linkage::genotype{});
        std::vector<std::size_t> hap(2 * out.meioses.founders.size());
        std::vector<linkage::label_pair> labels;
        for (const linkage::cluster& c : blocks) {
            for (std::size_t& h : hap)
                h = draw(c.freq, allele_r.uniform());
            for (std::size_t j = 0; j < c.size(); ++j) {
                const auto p = static_cast<std::size_t>(c.markers[j]);
                linkage::founder_labels(out.meioses, f, inh.at(p), labels);
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint16_t a = c.haplotype(hap[labels[i][0]])[j], b = c.haplotype(hap[labels[i][1]])[j];
                    f.at(p, i) = {std::min(a, b), std::max(a, b)};
                }
            }
        }
    }

    const bool ancestors_typed = opt.parents == parents_mode::genotyped ||
                                 (opt.parents == parents_mode::mixed && index % 2 == 0);
    const std::size_t n = f.persons.size();
    rng missing_r(opt.seed, kid, STREAM_MISSING);
    for (std::size_t p = 0; p < npos; ++p)
        for (std::size_t i = 0; i < n; ++i) {
            if (!ancestors_typed && static_cast<int>(i) < first_sib)
                f.at(p, i) = {};
            else if (opt.missing > 0 && missing_r.uniform() < opt.missing)
                f.at(p, i) = {};
        }
}

}  // namespace sim
