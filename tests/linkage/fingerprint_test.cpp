// A study's fingerprint tells apart every change that makes a replicate
// another study's, and nothing else; manifests read back as written.
#include <functional>

#include <gtest/gtest.h>

#include "fingerprint.h"

namespace {

using namespace linkage;

// Two families of three over three markers on two chromosomes.
study small_study()
{
    study s;
    s.pedigree_file = "s.ped";
    for (const auto& [name, chrom, cm] : {std::tuple{"M1", "1", 0.0}, {"M2", "1", 12.5}, {"M3", "2", 3.0}})
        s.markers.push_back({name, chrom, chrom_kind::autosome, cm, {"1", "2", "3"}, {0.5, 0.25, 0.25}, 0});
    for (const char* id : {"F1", "F2"}) {
        family f{id,
                 {{"1", -1, -1, sex::male, status::unknown, 1},
                  {"2", -1, -1, sex::female, status::unaffected, 2},
                  {"3", 0, 1, sex::female, status::affected, 3}},
                 {}};
        f.geno.assign(s.markers.size() * f.persons.size(), {1, 2});
        f.at(1, 0) = {};
        s.families.push_back(f);
    }
    return s;
}

TEST(Fingerprint, EveryAspectOfTheStudyAndNothingElse)
{
    const study base = small_study();
    const fingerprint fb = fingerprint_of(base);
    struct change {
        const char* what;
        std::function<void(study&)> apply;
        std::vector<inconsistency> dropped;
        const char* difference;  // "" : the same study
    };
    const change changes[] = {
        {"a family less", [](study& s) { s.families.pop_back(); }, {},
         "the pedigrees differ (replicate: 1 family; study: 2 families)"},
        {"a person renamed", [](study& s) { s.families[1].persons[2].id = "4"; }, {}, "the pedigrees differ"},
        {"another father", [](study& s) { s.families[0].persons[2].father = -1; }, {}, "the pedigrees differ"},
        {"sex", [](study& s) { s.families[1].persons[2].sex = sex::male; }, {}, "the persons' sex differs"},
        {"affection", [](study& s) { s.families[0].persons[0].affection = status::affected; }, {},
         "the affection status differs"},
        {"a position", [](study& s) { s.markers[1].cm = 12.6; }, {}, "the map differs"},
        {"a chromosome", [](study& s) { s.markers[2].chrom = "3"; }, {}, "the map differs"},
        {"a marker less",
         [](study& s) {
             s.markers.pop_back();
             for (family& f : s.families)
                 f.geno.resize(s.markers.size() * f.persons.size());
         },
         {}, "the map differs (replicate: 2 markers; study: 3 markers)"},
        {"a frequency", [](study& s) { s.markers[0].freq = {0.4, 0.35, 0.25}; }, {}, "the allele frequencies differ"},
        {"a genotype lost", [](study& s) { s.families[1].at(2, 1) = {}; }, {}, "the missing genotypes differ"},
        {"genotypes dropped", [](study&) {}, {{0, 2, 0}},
         "the missing genotypes differ (Mendelian-inconsistent genotype sets left missing: 1 in the replicate, 0 "
         "in the study as analysed)"},
        {"other genotypes", [](study& s) { s.families[0].at(0, 2) = {2, 3}; }, {}, ""},
        {"a marker read as X-linked", [](study& s) { s.markers[2].kind = chrom_kind::x_linked; }, {}, ""},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.what);
        study s = base;
        c.apply(s);
        const fingerprint f = fingerprint_of(s, c.dropped);
        EXPECT_EQ(fingerprint_difference(f, fb), c.difference);
        // Dropping a set is the same as its genotypes being missing, bar the count.
        if (!c.dropped.empty()) {
            study gone = s;
            drop_genotypes(gone, c.dropped);
            fingerprint g = fingerprint_of(gone);
            g.dropped = f.dropped;
            EXPECT_EQ(fingerprint_text(g), fingerprint_text(f));
        }
    }
}

TEST(Manifest, ReadsBackAsWrittenAndRefusesWhatIsNotOne)
{
    replicate_manifest m{18446744073709551615ull, 999999999, fingerprint_of(small_study())};
    m.study.set("clusters", "0123456789abcdef");  // a model the analysis adds
    const std::string text = manifest_text(m);
    const replicate_manifest back = parse_manifest(text, "m.tsv");
    EXPECT_EQ(back.seed, m.seed);
    EXPECT_EQ(back.replicate, m.replicate);
    EXPECT_EQ(fingerprint_text(back.study), fingerprint_text(m.study));
    EXPECT_EQ(fingerprint_difference(back.study, m.study), "");
    EXPECT_EQ(fingerprint_difference(back.study, fingerprint_of(small_study())), "the LD cluster model differs");

    auto without = [&](const std::string& line) {
        std::string t = text;
        t.erase(t.find(line), line.size());
        return t;
    };
    const std::pair<std::string, std::string> bad[] = {
        {without("missing\t" + *m.study.get("missing") + "\n"),
         "m.tsv line 13: not a whole study fingerprint (no missing)"},
        {without("replicate\t999999999\n"), "m.tsv line 13: no seed and replicate number"},
        {text + "map\tx\n", "m.tsv line 15: map is given twice"},
        {text + "dropped\t-1\n", "m.tsv line 15: dropped '-1' is not a count"},
    };
    for (const auto& [t, message] : bad) {
        try {
            parse_manifest(t, "m.tsv");
            ADD_FAILURE() << message;
        } catch (const input_error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
        }
    }
}

}  // namespace
