// A linkage study in memory: pedigrees, affection, genotypes, the marker map
// and allele frequencies, whichever file format it was read from. Shared by
// brell-ibd, brell-sim and brell-scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace linkage {

// Text for a message: a NUL byte (which would end it when printed) as \0.
std::string visible(std::string_view text);

// A fault in an input file. what() is "FILE line N: REASON", or "FILE:
// REASON" when no line applies, made visible(); the driver puts the
// program's name first.
struct input_error : std::runtime_error {
    input_error(const std::string& file, long line, const std::string& reason);
    std::string file;
    long line;  // 0: the file as a whole
    std::string reason;
};

enum class sex : std::uint8_t { unknown, male, female };
enum class status : std::uint8_t { unknown, unaffected, affected };

struct person {
    std::string id;
    int father = -1;  // index in family::persons; -1 for a founder
    int mother = -1;
    linkage::sex sex = sex::unknown;
    status affection = status::unknown;
    long line = 0;  // line of the pedigree file, for messages
};

// Allele codes 1..n index marker::alleles; 0 is missing, always in both.
struct genotype {
    std::uint16_t a = 0;
    std::uint16_t b = 0;
    bool missing() const { return a == 0; }
};

struct family {
    std::string id;
    std::vector<person> persons;  // pedigree file order
    std::vector<genotype> geno;   // marker-major: geno[m * persons.size() + i]

    const genotype& at(std::size_t m, std::size_t i) const { return geno[m * persons.size() + i]; }
    genotype& at(std::size_t m, std::size_t i) { return geno[m * persons.size() + i]; }
};

// X-linked markers and PLINK's Y and MT are read but not analysed.
enum class chrom_kind : std::uint8_t { autosome, x_linked, excluded };

struct marker {
    std::string name;
    std::string chrom;  // as the map names it, a leading "chr" dropped
    chrom_kind kind = chrom_kind::autosome;
    double cm = 0.0;
    std::vector<std::string> alleles;  // code k names alleles[k - 1]
    std::vector<double> freq;          // per code, summing to 1
    long map_line = 0;
};

struct study {
    std::string pedigree_file;     // where persons and genotypes were read, for messages
    std::vector<marker> markers;   // in genotype-column order
    std::vector<family> families;  // pedigree file order
    // What reading decided on the user's behalf (markers left out,
    // frequencies counted instead of read), one message each, for the tool
    // to print once.
    std::vector<std::string> notes;
};

// A study's notes on out, each as "PROGRAM: NOTE".
void print_notes(const std::vector<std::string>& notes, const char* program, std::FILE* out);

// Markers of one chromosome in map order: ascending cM, ties in file order.
struct chromosome {
    std::string name;
    chrom_kind kind = chrom_kind::autosome;
    std::vector<int> markers;  // indices into study::markers
};
// Chromosomes in order of first appearance in the map.
std::vector<chromosome> chromosomes(const study& s);

// Recombination fraction between loci d cM apart (Haldane: no interference).
double haldane(double d_cm);

// Persons ordered so that parents come before their children. Throws
// input_error (naming file and the person's line) if someone is his own
// ancestor.
std::vector<int> parents_first(const family& f, const std::string& file);

}  // namespace linkage
