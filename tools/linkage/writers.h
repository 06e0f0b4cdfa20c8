// Writing a study as LINKAGE-style and PLINK files.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "study.h"

namespace linkage {

// A file that could not be written, or a study that the format cannot hold.
struct write_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Shortest text that reads back as the same double.
std::string shortest(double v);

// A file written through a buffer into PATH.tmp and renamed over PATH only by
// commit(), so that a failed run never leaves a truncated file behind. An
// uncommitted file's temporary is removed when it goes out of scope.
class output_file {
public:
    explicit output_file(std::string path);
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    void put(std::string_view s);
    void put(char c);
    void close();   // completes the file under its temporary name
    void commit();  // after close(): renames it into place

private:
    void flush();
    [[noreturn]] void fail() const;

    std::string path_;
    std::string tmp_;
    std::string buf_;
    std::FILE* f_ = nullptr;
    bool committed_ = false;
};

// Pedigree file: per person, in family and file order, "FAMILY PERSON FATHER
// MOTHER SEX AFFECTION" then two allele names per marker, 0 for a missing
// parent or allele; sex 1 male, 2 female, 0 unknown; affection 1 unaffected,
// 2 affected, 0 unknown. Data file: "A disease", "M NAME" per marker, "E".
// Map file: the header "CHR MARKER CM", then "CHROMOSOME NAME CM" per marker.
// Frequency file (not written when freq is empty): per marker "M NAME" and
// "F f1 f2 ..." in allele code order. All files are renamed into place once
// every one is complete.
void write_linkage(const study& s, const std::string& ped, const std::string& dat, const std::string& map,
                   const std::string& freq);

// PLINK binary fileset PREFIX.bed, .bim, .fam (variant-major). The base-pair
// position in .bim is round(cM × 10^6), 1 Mb per cM. Markers with more than
// two alleles are refused before anything is written.
void write_plink_binary(const study& s, const std::string& prefix);

// PLINK text fileset PREFIX.ped and PREFIX.map, the same limits.
void write_plink_text(const study& s, const std::string& prefix);

namespace detail {
// The six leading columns of a pedigree row, shared by LINKAGE and PLINK.
void put_person(output_file& out, const family& f, const person& p);
// " a1 a2" per marker for person i, "0" for a missing allele.
void put_genotypes(output_file& out, const study& s, const family& f, std::size_t i);
}  // namespace detail

}  // namespace linkage
