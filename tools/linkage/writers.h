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

// Every file reads back, with the reader of its format, as the study it was
// written from; what a format cannot hold is refused before any file is
// opened (write_error), and allele names it would read as something else
// (a missing code, or a separator) are renamed consistently in every file:
// each byte in the way as %XX, and a % added while the name is taken.

// Pedigree file: per person, in family and file order, "FAMILY PERSON FATHER
// MOTHER SEX AFFECTION" then two allele names per marker, 0 for a missing
// parent or allele; sex 1 male, 2 female, 0 unknown; affection 1 unaffected,
// 2 affected, 0 unknown. Data file: "A disease", "M NAME" per marker, "E".
// Map file: the header "CHR MARKER CM", then "CHROMOSOME NAME CM" per marker
// in map order. Frequency file (not written when freq is empty): per marker
// with alleles "M NAME" and "A ALLELE FREQUENCY" per allele in code order,
// so that codes and frequencies read back whatever the names. All files are
// renamed into place once every one is complete. A parent named as the
// pedigree file's "no parent" (0, . or x) is refused.
void write_linkage(const study& s, const std::string& ped, const std::string& dat, const std::string& map,
                   const std::string& freq);

// PLINK binary fileset PREFIX.bed, .bim, .fam (variant-major). The base-pair
// position in .bim is round(cM × 10^6), 1 Mb per cM. Markers with more than
// two alleles, a parent named 0, and a chromosome that PLINK would read as
// another are refused before anything is written. PLINK files hold no
// frequencies: they are counted again when read.
void write_plink_binary(const study& s, const std::string& prefix);

// PLINK text fileset PREFIX.ped and PREFIX.map, the same limits.
void write_plink_text(const study& s, const std::string& prefix);

namespace detail {
// Allele names as a format reads them back: names[m][code], "0" for code 0.
using allele_table = std::vector<std::vector<std::string>>;
allele_table allele_names(const study& s, bool (*readable)(std::string_view));
// The chromosome label that reads back as the marker's chromosome (a
// leading "chr" of the name kept by writing another), or a write_error.
std::string chromosome_label(const marker& mk, bool plink, const std::string& file);
// Refuses a parent named as the format's "no parent".
void check_parents(const study& s, bool (*no_parent)(std::string_view), const std::string& file);
// The six leading columns of a pedigree row, shared by LINKAGE and PLINK.
void put_person(output_file& out, const family& f, const person& p);
// " a1 a2" per marker for person i.
void put_genotypes(output_file& out, const study& s, const family& f, std::size_t i, const allele_table& names);
}  // namespace detail

}  // namespace linkage
