// One fuzzer input run through the study readers, brell-ibd and the
// writers, and the judgement of the run.
//
// An input is text, so that seeds and regression cases can be written by
// hand:
//
//   linkage --step 2.5       the format (linkage, plink or bed), then
//   ==ped                    options of brell-ibd (--step, --score, --freq,
//   F1 1 0 0 1 1 1 2         --weights, --max-bits, --drop-inconsistent,
//   ==dat                    --ld-r2, --ld-distance, --max-haplotypes)
//   M m1                     a section: a file's content, up to the next
//   ==map                    section line
//   1 m1 0
//
// Sections: ped, dat, map, freq for linkage (freq optional); ped and map
// for plink (PREFIX.ped/.map); bed, bim and fam for bed; and for each, an
// optional clusters file (--clusters). A missing section is a missing file.
//
// The run is judged by what every reader and writer promises: a refusal is
// one message "FILE line N: REASON" naming an input file and a line it has;
// a study read is well formed (codes within the alleles, frequencies summing
// to 1, parents of the right sex, chromosome names fit for folder names);
// brell-ibd either fails with one of its messages and leaves nothing, or
// writes a folder per chromosome and nothing else, with one block of rows
// per position, positions as their shortest decimals and never two within
// 1e-9 cM of a marker, probabilities summing to 1, information within
// [0, 1], and files that brell itself reads; the study written as LINKAGE
// files (and in its own PLINK format) and a null replicate of it read back
// as they were.
#pragma once

#include <string>
#include <string_view>

namespace linkage_fuzz {

struct verdict {
    bool skipped = false;   // beyond the caps, or options that are not the point
    std::string violation;  // what went wrong; empty when nothing did
};

// Owns one scratch folder, reused by every run.
class harness {
public:
    harness();
    ~harness();
    harness(const harness&) = delete;
    harness& operator=(const harness&) = delete;
    verdict run(std::string_view input);

private:
    std::string dir_;
};

}  // namespace linkage_fuzz
