// What the LINKAGE and PLINK readers share: whole-file reading, line and
// token scanning, the pedigree columns, allele naming and code order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "study.h"

namespace linkage::read {

// The whole file; input_error (line 0, with the system's reason) if it
// cannot be read.
std::string slurp(const std::string& path);

// Lines of a buffer; "\r\n" ends a line like "\n".
class lines {
public:
    explicit lines(std::string_view text) : rest_(text) {}
    bool next(std::string_view& line);
    long number() const { return number_; }  // of the line last returned

private:
    std::string_view rest_;
    long number_ = 0;
};

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Whitespace-separated fields of one line.
class fields {
public:
    explicit fields(std::string_view line) : rest_(line) {}
    bool next(std::string_view& f);
    bool at_end();
    // A genotype written "a b", "a/b", "a/ b", "a /b" or "a / b". False at the
    // end of the line; `bad` set when a slash leaves an allele out.
    bool genotype(std::string_view& a, std::string_view& b, bool& bad);

private:
    void skip_space();
    std::string_view rest_;
};

std::string quote(std::string_view s);  // 'value' for messages
// "a, b, c, ..." for a message: the first few names of a list that may be long.
std::string some_names(const std::vector<std::string>& names);
bool iequals(std::string_view a, std::string_view b);
bool parse_number(std::string_view s, double& v);  // finite decimal number
bool parse_count(std::string_view s, long& v);     // non-negative decimal integer

// What a file with nothing in it is refused with.
inline std::string empty_file(const char* what) { return std::string("empty: no ") + what; }

// Chromosome label with a leading "chr" (any case) dropped.
std::string_view drop_chr(std::string_view c);

// A map's chromosome label as the study names it: "chr" dropped; X and XY
// X-linked, Y, MT and 0 (unplaced) not analysed, one spelling each; with
// plink_codes also PLINK's numbers (23 X, 24 Y, 25 XY, 26 MT), M for MT and
// numbers without leading zeros. Both readers know the names, so that a
// study written in either format reads back with the same chromosomes.
void name_chromosome(std::string_view label, bool plink_codes, marker& mk);

// The chromosome of a marker names its output folder: refused (at the map's
// line) unless it is letters, digits, '_', '-' and '.', and not . or ..
void check_chromosome_name(const std::string& map_file, const marker& mk, const char* marker_word = "marker");

// Sex and affection as the pedigree columns write them; false if the value
// is none of the accepted codes.
bool parse_sex(std::string_view s, sex& out);
bool parse_affection(std::string_view s, status& out);

// One pedigree row. The views point into the file's buffer.
struct person_row {
    std::string_view family, id, father, mother;
    linkage::sex sex = sex::unknown;
    status affection = status::unknown;
    long line = 0;
};

struct place {
    int family;
    int index;
};

// Families from rows (grouped by identifier, first appearance first), with
// parents linked and the pedigree checked. where[r] is row r's place.
// `no_parent` tells the codes that mean "not in the pedigree".
std::vector<family> assemble(const std::vector<person_row>& rows, const std::string& file,
                             bool (*no_parent)(std::string_view), std::vector<place>& where);

// Row r's genotypes, raw[(r * markers + m) * 2 + 0..1] in codes as first met,
// into its family under the final codes, smaller code first: a .bed cannot
// keep the order of a genotype's alleles, so no reader does.
void store_genotypes(std::vector<family>& families, const std::vector<place>& where,
                     const std::vector<std::uint16_t>& raw, const std::vector<std::vector<std::uint16_t>>& recode);

inline constexpr std::size_t max_alleles = 65535;

// Allele names of one marker as they are met; codes 1, 2, ... in that order.
class allele_names {
public:
    // 0 when the marker already has max_alleles names.
    std::uint16_t code(std::string_view name);
    const std::vector<std::string>& names() const { return names_; }

private:
    struct hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::vector<std::uint16_t> small_;  // by value, for short decimal names: the common case
    std::unordered_map<std::string, std::uint16_t, hash, std::equal_to<>> other_;
    std::vector<std::string> names_;
};

// The order of allele codes: numeric when every name is a decimal integer,
// else byte order. Returns the names sorted; new_code[k] is the new code of
// names[k - 1] (new_code[0] = 0, missing stays missing).
std::vector<std::string> natural_order(const std::vector<std::string>& names, std::vector<std::uint16_t>& new_code);

}  // namespace linkage::read
