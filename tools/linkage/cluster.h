// Clusters of markers in linkage disequilibrium: runs of consecutive markers
// of one chromosome inherited as one locus (no recombination inside), whose
// "alleles" are haplotypes with population frequencies. Clusters are in
// linkage equilibrium with each other and with the markers left alone.
//
// The cluster file: blocks of "CLUSTER m1 m2 ..." followed by lines
// "HAPLO freq a1 a2 ..." (one allele per marker, named as in the pedigree
// file). Frequencies are normalised; a cluster without HAPLO lines gets them
// from the haplotype EM (a one-marker cluster: the marker's own frequencies).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ibd.h"
#include "study.h"

namespace linkage {

struct cluster {
    std::vector<int> markers;               // study indices, in map order
    std::vector<std::uint16_t> haplotypes;  // allele codes, haplotype-major: [h * markers.size() + j]
    std::vector<double> freq;               // per haplotype: > 0, summing to 1
    long line = 0;                          // its CLUSTER line; 0 when found from the data
    bool estimated = false;                 // frequencies from the EM rather than from a file

    std::size_t size() const { return markers.size(); }
    std::size_t count() const { return freq.size(); }
    const std::uint16_t* haplotype(std::size_t h) const { return haplotypes.data() + h * markers.size(); }
};

struct cluster_set {
    std::vector<cluster> list;   // chromosomes in map order, each in map order
    std::vector<int> of_marker;  // per study marker: its cluster in list, -1 alone
};

struct cluster_limits {
    double max_cm = 1.0;       // --ld-distance: first to last marker of a cluster
    int max_haplotypes = 128;  // --max-haplotypes: with non-zero frequency
};

// Puts the list in map order, chromosomes in map order, and fills of_marker.
void index_clusters(const study& s, cluster_set& cs);

// Reads a cluster file against the study's markers and alleles, estimating
// the frequencies it does not give. Throws input_error (file, line, reason)
// for unknown markers or alleles, a marker listed twice or in two clusters,
// markers not consecutive on one chromosome or spanning more than max_cm,
// and more than max_haplotypes haplotypes.
cluster_set read_clusters(const std::string& path, const study& s, const cluster_limits& lim);
cluster_set parse_clusters(const std::string& path, std::string_view text, const study& s, const cluster_limits& lim);

// The file that reads back to the same clusters and frequencies, to the bit.
std::string format_clusters(const study& s, const cluster_set& cs);
// Throws write_error.
void write_clusters(const std::string& path, const study& s, const cluster_set& cs);

// People whose genotypes estimate haplotype frequencies, so that no two are
// related: in each family the founders genotyped at some marker; in a family
// with none, the member genotyped at the most markers (the first in file
// order on ties). Families in file order, persons in file order.
struct sampled {
    int family = 0;
    int person = 0;
};
std::vector<sampled> ld_sample(const study& s);

// Haplotype frequencies by EM over the unphased genotypes of the sample, a
// missing genotype constraining nothing at its marker. Markers are added one
// at a time; the haplotypes of the next step are those of this one extended
// by every allele seen at the new marker, so the candidates stay few however
// long the cluster. Haplotypes whose expected count falls below a hundredth
// are dropped (unless someone in the sample needs them) and the EM run again
// on the rest. Deterministic to the bit: fixed orders throughout, at most
// max_iterations rounds, stopping once no frequency moves by more than 1e-10.
class haplotype_em {
public:
    haplotype_em(const study& s, const std::vector<sampled>& people);  // both kept by reference

    void add(int marker);
    const std::vector<int>& markers() const { return markers_; }
    std::size_t count() const { return freq_.size(); }
    const std::vector<std::uint16_t>& haplotypes() const { return hap_; }  // count() x markers, sorted by codes
    const std::vector<double>& freq() const { return freq_; }
    int informative() const { return informative_; }  // sampled people typed at one of the markers

    static constexpr int max_iterations = 1000;

private:
    struct pattern {
        std::vector<std::uint16_t> geno;  // a, b per marker; 0 0 missing
        double count = 0;
    };
    void run(std::vector<std::uint16_t>& cand, std::vector<double>& f, std::vector<std::uint32_t>& pairs,
             std::vector<std::size_t>& start) const;
    void enumerate(const std::vector<std::uint16_t>& cand, std::size_t n, std::vector<std::uint32_t>& pairs,
                   std::vector<std::size_t>& start) const;

    const study* s_;
    const std::vector<sampled>* people_;
    std::vector<int> markers_;
    std::vector<pattern> patterns_;  // distinct genotypes of the sample, in order of first appearance
    int informative_ = 0;
    std::vector<std::uint16_t> hap_;
    std::vector<double> freq_;
};

// r^2 = D^2 / (pA pa pB pb) between two markers of at most two alleles, from
// their EM haplotype frequencies over the sample; 0 when either is
// monomorphic there.
double r_squared(const study& s, const std::vector<sampled>& people, int m1, int m2);

// Clusters found from the data: walking each autosome in map order, a marker
// joins the current cluster when it lies within max_cm of the cluster's first
// marker, its r^2 with some marker of the cluster exceeds r2, and the
// cluster's haplotypes stay within max_haplotypes; otherwise it starts the
// next one. Markers of more than two alleles stay alone, as do those of
// `fixed` (clusters read from a file, which the walk leaves as they are and
// returns among its own). Clusters of one marker are not kept.
cluster_set find_clusters(const study& s, double r2, const cluster_limits& lim, const cluster_set* fixed = nullptr);

// The clusters of a run: those of the file (none when the path is empty),
// then, given r2, those found among the other markers.
cluster_set study_clusters(const study& s, const std::string& path, std::optional<double> r2,
                           const cluster_limits& lim);

// Haplotypes that the estimate never saw but a family needs. With parents
// untyped, a sib outside the estimation sample can carry one, and the
// cluster would then be impossible in that family and taken for a Mendelian
// inconsistency. For each estimated cluster, and each family analysed
// (kindreds[i] of study family families[i]) whose genotypes there no vector
// allows, in file order: the fewest haplotypes of the alleles the family
// shows that make them possible are added, the likeliest (by their alleles'
// frequencies) first, each at a hundredth of a copy in the estimation sample
// (0.01 / 2n; the others scaled down to keep the sum 1). A family that no
// haplotypes explain (a true inconsistency), or that would take the cluster
// beyond max_haplotypes, is left as it is. Clusters whose frequencies a file
// gives are the file's. The result does not depend on threads.
void complete_clusters(const study& s, cluster_set& cs, const std::vector<int>& families,
                       const std::vector<kindred>& kindreds, const cluster_limits& lim, int threads);

// A place of the multipoint pass: a marker alone or a cluster, at the mean cM
// of its markers.
struct locus {
    double cm = 0.0;
    int marker = -1;   // study index when alone
    int cluster = -1;  // index in cluster_set::list otherwise
};
// Loci of a chromosome in map order (clusters at their first marker's place).
std::vector<locus> loci(const study& s, const chromosome& c, const cluster_set& cs);
// Its markers' names joined with ",".
std::string locus_name(const study& s, const cluster_set& cs, const locus& l);
// The markers of the locus a marker belongs to: its cluster's, or itself.
std::vector<int> locus_markers(const cluster_set& cs, int marker);

}  // namespace linkage
