// Readers that fill a linkage::study from LINKAGE-style files (pedigree, data,
// map and optional frequency file) or from PLINK filesets, and the allele
// frequencies counted from the genotypes.
//
// What every reader guarantees:
// - Families in order of first appearance; a family's rows need not be
//   contiguous, persons keep file order, parents may follow their children.
// - Pedigrees are checked (unknown or half-given parents, parents of the
//   wrong sex, duplicates, cycles) before anything is returned.
// - Genotypes are unordered pairs stored with a <= b.
// - Allele codes: from the frequency file when it has the marker, otherwise
//   the alleles seen in the genotypes in natural order (numerically when every
//   name is a decimal integer, else by byte order). The same data therefore
//   gets the same codes whichever format it came in.
// - marker::freq is empty for markers the frequency file does not give;
//   count_frequencies() fills it.
#pragma once

#include <string>
#include <vector>

#include "study.h"

namespace linkage {

struct linkage_files {
    std::string ped, dat, map, freq;  // freq empty: none
};

// Reads and checks a LINKAGE-style study. Throws input_error.
study read_linkage(const linkage_files& files);

// PLINK filesets: PREFIX.bed/.bim/.fam (SNP-major) and PREFIX.ped/.map.
// Throws input_error.
study read_plink_binary(const std::string& prefix);
study read_plink_text(const std::string& prefix);

enum class freq_from { all, founders };

// Fills the frequencies of markers that have none, counting alleles over the
// genotyped persons of every family (all of them, or founders only).
// Frequencies already set are kept. Counting founders only, an allele that
// only non-founders carry is counted as if one founder allele were it: a
// frequency of 0 would make the genotypes that show it impossible. Returns
// the markers where, counting founders only, no founder is genotyped: their
// alleles seen are taken as equally frequent.
std::vector<std::size_t> count_frequencies(study& s, freq_from from);

enum class study_format { linkage, plink_binary, plink_text };

// A study in any of its formats (files for LINKAGE, prefix for PLINK), with
// the frequencies that no file gives counted: every tool reads a study so.
// Its notes say where a frequency file lacked a marker and where counting
// over founders found none genotyped.
study read_study(study_format format, const linkage_files& files, const std::string& prefix, freq_from from);

// Why the options that name a study (-p -d -m -f, or filesets times --bfile
// or --file) do not name one, as a message; empty when they do.
std::string study_options_problem(study_format format, const linkage_files& files, const std::string& prefix,
                                  int filesets);

}  // namespace linkage
