// Gene dropping with clusters: founder genes draw whole haplotypes of a
// cluster, so simulated genotypes keep the linkage disequilibrium that the
// analysis models.
#pragma once

#include <vector>

#include "cluster.h"
#include "gene_drop.h"

namespace linkage {

// Fills every person's genotypes at the loci of one chromosome, the l-th
// locus from inh.at(l) (draw the inheritance at the loci's positions). A
// marker alone is dropped exactly as gene_drop drops it, drawing the same
// uniforms. A cluster draws one haplotype per founder gene from its
// frequencies (founders in layout order, each its paternal then maternal
// gene: one uniform each) and passes it down whole: no recombination inside
// a cluster. Genotypes are stored with the smaller code first; f.geno is
// sized to markers.size() rows if it is not already.
void gene_drop(family& f, const meioses& mz, const std::vector<marker>& markers, const cluster_set& cs,
               const std::vector<locus>& loci, const inheritance& inh, const uniform_source& u);

}  // namespace linkage
