#include "fingerprint.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace linkage {

namespace {

const char* const PARTS[] = {"pedigrees", "sex", "affection", "map", "frequencies", "missing", "clusters"};

// FNV-1a over a serialisation that keeps fields apart (lengths before
// strings): a digest to tell studies apart, not a defence against forgery.
class digest {
public:
    void bytes(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i) {
            h_ ^= b[i];
            h_ *= 0x100000001b3ull;
        }
    }
    void number(std::uint64_t v)
    {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = static_cast<unsigned char>(v >> (8 * i));
        bytes(b, 8);
    }
    void real(double v)
    {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        number(u);
    }
    void text(const std::string& s)
    {
        number(s.size());
        bytes(s.data(), s.size());
    }
    std::string hex() const
    {
        char buf[17];
        for (int i = 0; i < 16; ++i)
            buf[i] = "0123456789abcdef"[(h_ >> (60 - 4 * i)) & 15];
        return std::string(buf, 16);
    }

private:
    std::uint64_t h_ = 0xcbf29ce484222325ull;
};

std::string count_text(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

}  // namespace

void fingerprint::set(const std::string& name, const std::string& value)
{
    for (auto& [n, v] : parts)
        if (n == name) {
            v = value;
            return;
        }
    parts.emplace_back(name, value);
}

const std::string* fingerprint::get(const std::string& name) const
{
    for (const auto& [n, v] : parts)
        if (n == name)
            return &v;
    return nullptr;
}

fingerprint fingerprint_of(const study& s, const std::vector<inconsistency>& dropped, const cluster_set* clusters)
{
    const cluster_set none;
    const cluster_set& cs = clusters ? *clusters : none;
    fingerprint f;
    f.families = s.families.size();
    f.markers = s.markers.size();
    f.dropped = dropped.size();
    std::vector<std::vector<bool>> gone(s.families.size());
    for (const inconsistency& i : dropped) {
        gone[i.family].resize(s.markers.size());
        for (int m : locus_markers(cs, i.marker))
            gone[i.family][m] = true;
    }
    digest ped, sex, aff, map, freq, missing;
    for (std::size_t fi = 0; fi < s.families.size(); ++fi) {
        const family& fam = s.families[fi];
        f.persons += fam.persons.size();
        ped.text(fam.id);
        ped.number(fam.persons.size());
        for (const person& p : fam.persons) {
            ped.text(p.id);
            ped.number(static_cast<std::uint64_t>(static_cast<std::int64_t>(p.father)));
            ped.number(static_cast<std::uint64_t>(static_cast<std::int64_t>(p.mother)));
            sex.number(static_cast<std::uint64_t>(p.sex));
            aff.number(static_cast<std::uint64_t>(p.affection));
        }
        for (std::size_t g = 0; g < fam.geno.size(); ++g) {
            const std::size_t m = g / std::max<std::size_t>(1, fam.persons.size());
            missing.number(fam.geno[g].missing() || (!gone[fi].empty() && gone[fi][m]));
        }
    }
    // A marker's kind follows from its chromosome's name and the file
    // format, which replicates do not keep: only name, chromosome and
    // position count.
    for (const marker& m : s.markers) {
        map.text(m.name);
        map.text(m.chrom);
        map.real(m.cm);
        freq.number(m.freq.size());
        for (double p : m.freq)
            freq.real(p);
    }
    // By names, as a cluster file gives them.
    digest model;
    for (const cluster& c : cs.list) {
        model.number(c.size());
        for (int m : c.markers)
            model.text(s.markers[m].name);
        model.number(c.count());
        for (std::size_t h = 0; h < c.count(); ++h) {
            for (std::size_t j = 0; j < c.size(); ++j)
                model.text(s.markers[c.markers[j]].alleles[c.haplotype(h)[j] - 1]);
            model.real(c.freq[h]);
        }
    }
    f.parts = {{"pedigrees", ped.hex()}, {"sex", sex.hex()},         {"affection", aff.hex()},
               {"map", map.hex()},       {"frequencies", freq.hex()}, {"missing", missing.hex()},
               {"clusters", cs.list.empty() ? "none" : model.hex()}};
    return f;
}

std::string fingerprint_text(const fingerprint& f, const std::string& prefix)
{
    std::string out;
    for (const auto& [key, n] : {std::pair{"families", f.families}, {"persons", f.persons}, {"markers", f.markers},
                                 {"dropped", f.dropped}})
        out += prefix + key + '\t' + std::to_string(n) + '\n';
    for (const auto& [name, value] : f.parts)
        out += prefix + name + '\t' + value + '\n';
    return out;
}

std::string fingerprint_difference(const fingerprint& replicate, const fingerprint& study)
{
    auto both = [&](std::size_t r, std::size_t s, const char* one, const char* many) {
        return " (replicate: " + count_text(r, one, many) + "; study: " + count_text(s, one, many) + ")";
    };
    std::vector<std::string> names;
    for (const auto* f : {&study, &replicate})
        for (const auto& [name, value] : f->parts)
            if (std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
    auto differs = [&](const std::string& name) {
        const std::string *r = replicate.get(name), *s = study.get(name);
        return !(r && s && *r == *s);
    };
    // Per-person and per-marker aspects cannot be compared between other
    // pedigrees or maps: their difference says nothing more.
    const bool other_persons = differs("pedigrees");
    const bool other_markers = replicate.markers != study.markers;
    std::string out;
    for (const std::string& name : names) {
        if (!differs(name) || (other_persons && (name == "sex" || name == "affection" || name == "missing")) ||
            (other_markers && (name == "missing" || name == "frequencies")))
            continue;
        std::string what;
        if (name == "pedigrees") {
            what = "the pedigrees differ";
            if (replicate.families != study.families)
                what += both(replicate.families, study.families, "family", "families");
            else if (replicate.persons != study.persons)
                what += both(replicate.persons, study.persons, "person", "persons");
        } else if (name == "sex") {
            what = "the persons' sex differs";
        } else if (name == "affection") {
            what = "the affection status differs";
        } else if (name == "map") {
            what = "the map differs";
            if (replicate.markers != study.markers)
                what += both(replicate.markers, study.markers, "marker", "markers");
        } else if (name == "frequencies") {
            what = "the allele frequencies differ";
        } else if (name == "missing") {
            what = "the missing genotypes differ";
            if (replicate.dropped != study.dropped)
                what += " (Mendelian-inconsistent genotype sets left missing: " + std::to_string(replicate.dropped) +
                        " in the replicate, " + std::to_string(study.dropped) + " in the study as analysed)";
        } else if (name == "clusters") {
            what = "the LD cluster model differs";
        } else {
            what = "its " + name + " differs";
        }
        out += (out.empty() ? "" : "; ") + what;
    }
    return out;
}

std::string manifest_text(const replicate_manifest& m)
{
    return "# a null replicate made by brell-sim --drop: which draw, and of what study\n"
           "seed\t" +
           std::to_string(m.seed) + "\nreplicate\t" + std::to_string(m.replicate) + '\n' + fingerprint_text(m.study);
}

bool fingerprint_reader::take(const std::string& key, const std::string& value, long line)
{
    std::size_t* count = key == "families"  ? &f_.families
                         : key == "persons" ? &f_.persons
                         : key == "markers" ? &f_.markers
                         : key == "dropped" ? &f_.dropped
                                            : nullptr;
    if (count) {
        auto r = std::from_chars(value.data(), value.data() + value.size(), *count);
        if (r.ec != std::errc() || r.ptr != value.data() + value.size())
            throw input_error(path_, line, key + " '" + value + "' is not a count");
        ++counts_;
        return true;
    }
    if (f_.get(key))
        throw input_error(path_, line, key + " is given twice");
    if (value.empty())
        throw input_error(path_, line, key + " has no value");
    f_.parts.emplace_back(key, value);
    return true;
}

fingerprint fingerprint_reader::finish(long lines) const
{
    if (counts_ != 4)
        throw input_error(path_, lines, "not a whole study fingerprint (families, persons, markers, dropped)");
    for (const char* part : PARTS)
        if (!f_.get(part))
            throw input_error(path_, lines, std::string("not a whole study fingerprint (no ") + part + ")");
    return f_;
}

replicate_manifest parse_manifest(const std::string& text, const std::string& path)
{
    replicate_manifest m;
    fingerprint_reader fr(path);
    bool seed = false, number = false;
    long line = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string l = text.substr(at, end - at);
        at = end + 1;
        ++line;
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        if (l.empty() || l[0] == '#')
            continue;
        const std::size_t tab = l.find('\t');
        if (tab == std::string::npos || l.find('\t', tab + 1) != std::string::npos)
            throw input_error(path, line, "expected KEY<tab>VALUE");
        const std::string key = l.substr(0, tab), value = l.substr(tab + 1);
        if (key == "seed" || key == "replicate") {
            bool ok = false;
            if (key == "seed") {
                auto r = std::from_chars(value.data(), value.data() + value.size(), m.seed);
                ok = !seed && r.ec == std::errc() && r.ptr == value.data() + value.size();
                seed = true;
            } else {
                auto r = std::from_chars(value.data(), value.data() + value.size(), m.replicate);
                ok = !number && r.ec == std::errc() && r.ptr == value.data() + value.size() && m.replicate >= 1;
                number = true;
            }
            if (!ok)
                throw input_error(path, line, key + " '" + value + "' is not a whole number, or given twice");
            continue;
        }
        fr.take(key, value, line);
    }
    if (!seed || !number)
        throw input_error(path, line, "no seed and replicate number");
    m.study = fr.finish(line);
    return m;
}

std::vector<std::pair<unsigned long long, std::string>> replicate_folders(const std::string& dir)
{
    std::vector<std::pair<unsigned long long, std::string>> found;
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec))
        return found;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "rep") != 0 || !e.is_directory())
            continue;
        unsigned long long k = 0;
        auto r = std::from_chars(name.data() + 3, name.data() + name.size(), k);
        if (r.ec == std::errc() && r.ptr == name.data() + name.size())
            found.push_back({k, e.path().string()});
    }
    if (ec)
        throw input_error(dir, 0, "cannot be read: " + ec.message());
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace linkage
