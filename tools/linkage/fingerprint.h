// What makes a null replicate a replicate of a study as it is analysed:
// the same families, persons, parents, sex, affection, map, allele
// frequencies and missing genotypes (after any dropping), only other
// genotypes. brell-sim --drop writes it into each replicate's manifest,
// brell-scan checks it before a replicate counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "inconsistent.h"
#include "study.h"

namespace linkage {

struct fingerprint {
    std::size_t families = 0;
    std::size_t persons = 0;
    std::size_t markers = 0;
    std::size_t dropped = 0;  // (family, marker) genotype sets left missing as inconsistent
    // Digests of one aspect each, in a fixed order: pedigrees, sex,
    // affection, map, frequencies, missing, clusters. A model the analysis
    // adds (LD clusters) is one more part; "none" where there is none.
    std::vector<std::pair<std::string, std::string>> parts;

    void set(const std::string& name, const std::string& value);
    const std::string* get(const std::string& name) const;
};

// The study as analysed: its genotype sets in `dropped` (a cluster's at all
// its markers) count as missing, and its clusters, haplotypes and their
// frequencies are the LD model.
fingerprint fingerprint_of(const study& s, const std::vector<inconsistency>& dropped = {},
                           const cluster_set* clusters = nullptr);

// "KEY\tVALUE" lines, each after prefix.
std::string fingerprint_text(const fingerprint& f, const std::string& prefix = "");

// What differs between a replicate's fingerprint and its study's, in words
// ("the map differs (...)"); empty when nothing does.
std::string fingerprint_difference(const fingerprint& replicate, const fingerprint& study);

// A replicate's manifest: what it is a replicate of, and which draw.
struct replicate_manifest {
    std::uint64_t seed = 0;
    long replicate = 0;
    fingerprint study;
};

inline constexpr const char* MANIFEST_FILE = "manifest.tsv";

std::string manifest_text(const replicate_manifest& m);
// Throws input_error naming path and line.
replicate_manifest parse_manifest(const std::string& text, const std::string& path);

// The replicate folders (repN: "rep" and digits) of dir as (N, path), in
// order of N; none when dir does not exist. Throws input_error when dir
// cannot be read.
std::vector<std::pair<unsigned long long, std::string>> replicate_folders(const std::string& dir);

// Key-value lines "KEY\tVALUE" (after `prefix`, if given) into a
// fingerprint; the others are left to the caller. Throws input_error.
class fingerprint_reader {
public:
    explicit fingerprint_reader(std::string path) : path_(std::move(path)) {}
    // True when key is the fingerprint's.
    bool take(const std::string& key, const std::string& value, long line);
    fingerprint finish(long lines) const;

private:
    std::string path_;
    fingerprint f_;
    int counts_ = 0;
};

}  // namespace linkage
