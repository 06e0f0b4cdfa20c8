#include <cstdint>
#include <utility>
#include <vector>

#include "read_common.h"
#include "readers.h"

namespace linkage {

study read_study(study_format format, const linkage_files& files, const std::string& prefix, freq_from from)
{
    study s;
    switch (format) {
    case study_format::linkage:
        s = read_linkage(files);
        break;
    case study_format::plink_binary:
        s = read_plink_binary(prefix);
        break;
    case study_format::plink_text:
        s = read_plink_text(prefix);
        break;
    }
    auto names = [&](const std::vector<std::size_t>& markers) {
        std::vector<std::string> out;
        for (std::size_t m : markers)
            out.push_back(s.markers[m].name);
        return std::to_string(out.size()) + " marker" + (out.size() == 1 ? "" : "s") + " (" +
               read::some_names(out) + ")";
    };
    const char* counted = from == freq_from::all ? "counted over every genotyped person" : "counted over founders";
    if (format == study_format::linkage && !files.freq.empty()) {
        std::vector<std::size_t> absent;
        for (std::size_t m = 0; m < s.markers.size(); ++m)
            if (s.markers[m].freq.empty())
                absent.push_back(m);
        if (!absent.empty())
            s.notes.push_back(files.freq + ": " + names(absent) + " not in it: their allele frequencies " + counted);
    }
    if (const std::vector<std::size_t> none = count_frequencies(s, from); !none.empty())
        s.notes.push_back("--freq founders: no founder is genotyped at " + names(none) +
                          ": the alleles seen there are taken as equally frequent");
    return s;
}

std::string study_options_problem(study_format format, const linkage_files& files, const std::string& prefix,
                                  int filesets)
{
    const char* fileset = format == study_format::plink_binary ? "--bfile" : "--file";
    if (filesets > 1)
        return "give one PLINK fileset (--bfile or --file)";
    std::vector<std::string> given, missing;
    for (const auto& [name, file] : {std::pair{"-p", &files.ped}, {"-d", &files.dat}, {"-m", &files.map},
                                     {"-f", &files.freq}})
        if (!file->empty())
            given.push_back(name);
        else if (file != &files.freq)  // a frequency file is never needed
            missing.push_back(name);
    auto list = [](const std::vector<std::string>& names) {
        std::string out;
        for (std::size_t i = 0; i < names.size(); ++i)
            out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
        return out;
    };
    const std::size_t count = given.size();
    if (filesets == 1) {
        if (count)
            return list(given) + (count == 1 ? " does" : " do") + " not go with " + fileset +
                   ": a PLINK fileset is the whole study, its allele frequencies counted from its genotypes";
        if (prefix.empty())
            return std::string(fileset) + " needs a fileset prefix, not ''";
        return {};
    }
    if (!count)
        return "no study given: -p PED -d DAT -m MAP [-f FREQ], --bfile PREFIX or --file PREFIX";
    if (!missing.empty())
        return "a LINKAGE-style study is -p PED -d DAT -m MAP [-f FREQ]: " + list(missing) + (missing.size() == 1 ? " is" : " are") + " missing";
    return {};
}

std::vector<std::size_t> count_frequencies(study& s, freq_from from)
{
    std::vector<std::size_t> no_founder;
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        marker& mk = s.markers[m];
        if (!mk.freq.empty())
            continue;
        // Integer counts divided once: the same frequencies whatever the order of families.
        std::vector<std::uint64_t> count(mk.alleles.size() + 1, 0);
        std::vector<bool> anywhere(mk.alleles.size() + 1, false);
        for (const family& f : s.families)
            for (std::size_t i = 0; i < f.persons.size(); ++i) {
                const genotype g = f.at(m, i);
                if (g.missing())
                    continue;
                anywhere[g.a] = anywhere[g.b] = true;
                const person& p = f.persons[i];
                if (from == freq_from::all || p.father < 0) {
                    ++count[g.a];
                    ++count[g.b];
                }
            }
        std::uint64_t total = 0;
        bool founder = false;
        for (std::size_t k = 1; k < count.size(); ++k) {
            founder = founder || count[k] > 0;
            if (count[k] == 0 && anywhere[k])
                count[k] = 1;
            total += count[k];
        }
        mk.freq.assign(mk.alleles.size(), 0.0);
        for (std::size_t k = 1; k < count.size(); ++k)
            mk.freq[k - 1] = total ? static_cast<double>(count[k]) / static_cast<double>(total)
                                   : 1.0 / static_cast<double>(mk.alleles.size());
        if (from == freq_from::founders && !founder && !mk.alleles.empty())
            no_founder.push_back(m);
    }
    return no_founder;
}

}  // namespace linkage
