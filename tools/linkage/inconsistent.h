// Mendelian inconsistencies as brell-ibd finds them, for the tools that must
// agree with it on which genotypes an analysis leaves out.
#pragma once

#include <string>
#include <vector>

#include "cluster.h"
#include "study.h"

namespace linkage {

struct inconsistency {
    int family;  // index into study::families
    int marker;  // index into study::markers
    int person;  // index into family::persons: the one it is blamed on
};

// brell-ibd's heading of the list, when it refuses such a study.
inline constexpr const char* INCONSISTENCIES_FOUND =
    "Mendelian inconsistencies (--drop-inconsistent treats them as missing):";

// "PEDFILE line N: family F person P: marker M: Mendelian inconsistency", at
// the line of the person it is blamed on; for a cluster (known by its first
// marker) "markers M1,M2,M3".
std::string inconsistency_line(const study& s, const family& f, int marker, int person);
std::string inconsistency_line(const study& s, const cluster_set& cs, const family& f, int marker, int person);

// Every (family, locus) whose genotypes the multipoint computation finds
// impossible, in the families brell-ibd analyses (two or more affected, at
// most max_bits bits) and on the autosomes: chromosome by chromosome, then
// family by family, loci in map order, as brell-ibd lists them. Clusters as
// analysis_clusters gives them.
std::vector<inconsistency> find_inconsistencies(const study& s, int max_bits, int threads);
std::vector<inconsistency> find_inconsistencies(const study& s, const cluster_set& cs, int max_bits, int threads);

// The clusters brell-ibd analyses a study with: study_clusters, completed
// (complete_clusters) for the families it analyses.
cluster_set analysis_clusters(const study& s, const std::string& path, std::optional<double> r2,
                              const cluster_limits& lim, int max_bits, int threads);

// Those genotype sets (a cluster's at all its markers) made missing for
// every person of the family, as brell-ibd --drop-inconsistent treats them.
void drop_genotypes(study& s, const std::vector<inconsistency>& found);
void drop_genotypes(study& s, const cluster_set& cs, const std::vector<inconsistency>& found);

}  // namespace linkage
