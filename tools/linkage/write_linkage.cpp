#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "read_common.h"
#include "writers.h"

namespace linkage {

std::string shortest(double v)
{
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return std::string(text, ec == std::errc() ? end : text);
}

namespace {
constexpr std::size_t BUFFER = 1 << 20;
}

output_file::output_file(std::string path) : path_(std::move(path)), tmp_(path_ + ".tmp")
{
    buf_.reserve(BUFFER);
    f_ = std::fopen(tmp_.c_str(), "wb");
    if (!f_)
        fail();
}

output_file::~output_file()
{
    if (f_)
        std::fclose(f_);
    if (!committed_)
        std::remove(tmp_.c_str());
}

void output_file::put(std::string_view s)
{
    if (buf_.size() + s.size() > BUFFER)
        flush();
    buf_.append(s);
}

void output_file::put(char c)
{
    if (buf_.size() >= BUFFER)
        flush();
    buf_.push_back(c);
}

void output_file::flush()
{
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size())
        fail();
    buf_.clear();
}

void output_file::close()
{
    flush();
    std::FILE* f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0)
        fail();
}

void output_file::commit()
{
    std::error_code ec;
    std::filesystem::rename(tmp_, path_, ec);
    if (ec)
        throw write_error("cannot write " + path_ + ": " + ec.message());
    committed_ = true;
}

void output_file::fail() const { throw write_error("cannot write " + path_ + ": " + std::strerror(errno)); }

namespace {

char sex_code(sex s) { return s == sex::male ? '1' : s == sex::female ? '2' : '0'; }
char affection_code(status a) { return a == status::affected ? '2' : a == status::unaffected ? '1' : '0'; }

// What the LINKAGE pedigree reader takes for something else: a missing
// allele, a separator, no parent.
bool linkage_allele(std::string_view a)
{
    return !a.empty() && a.find('/') == std::string_view::npos &&
           !(a.size() == 1 && std::string_view("0xX.-N").find(a[0]) != std::string_view::npos);
}
bool linkage_no_parent(std::string_view id) { return id == "0" || id == "." || id == "x"; }

std::string hex(char c)
{
    static const char digits[] = "0123456789ABCDEF";
    const auto u = static_cast<unsigned char>(c);
    return {'%', digits[u >> 4], digits[u & 15]};
}

}  // namespace

namespace detail {

allele_table allele_names(const study& s, bool (*readable)(std::string_view))
{
    allele_table t(s.markers.size());
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const std::vector<std::string>& alleles = s.markers[m].alleles;
        std::vector<std::string>& names = t[m];
        names.reserve(alleles.size() + 1);
        names.emplace_back("0");
        std::unordered_set<std::string> taken;
        for (const std::string& a : alleles) {
            if (readable(a)) {
                names.push_back(a);
                continue;
            }
            if (taken.empty())
                taken.insert(alleles.begin(), alleles.end());
            std::string r;
            for (char c : a)
                r += c == '/' ? hex(c) : std::string(1, c);
            if (!readable(r))
                r = r.empty() ? "%" : hex(r[0]) + r.substr(1);
            while (!taken.insert(r).second)
                r += '%';
            names.push_back(std::move(r));
        }
    }
    return t;
}

std::string chromosome_label(const marker& mk, bool plink, const std::string& file)
{
    std::string label = read::drop_chr(mk.chrom) == mk.chrom ? mk.chrom : "chr" + mk.chrom;
    marker back;
    read::name_chromosome(label, plink, back);
    if (back.chrom != mk.chrom || back.kind != mk.kind)
        throw write_error("cannot write " + file + ": chromosome " + visible(mk.chrom) + " of marker " +
                          visible(mk.name) + " would read back as chromosome " + visible(back.chrom) +
                          (back.kind != mk.kind ? ", not analysed alike" : ""));
    return label;
}

void check_parents(const study& s, bool (*no_parent)(std::string_view), const std::string& file)
{
    for (const family& f : s.families)
        for (const person& p : f.persons)
            for (int parent : {p.father, p.mother})
                if (parent >= 0 && no_parent(f.persons[parent].id))
                    throw write_error("cannot write " + file + ": family " + visible(f.id) + ": person " +
                                      visible(f.persons[parent].id) + " is a parent, and the file would read " +
                                      visible(f.persons[parent].id) + " as no parent");
}

void put_person(output_file& out, const family& f, const person& p)
{
    out.put(f.id);
    out.put(' ');
    out.put(p.id);
    out.put(' ');
    out.put(p.father < 0 ? std::string_view("0") : std::string_view(f.persons[p.father].id));
    out.put(' ');
    out.put(p.mother < 0 ? std::string_view("0") : std::string_view(f.persons[p.mother].id));
    out.put(' ');
    out.put(sex_code(p.sex));
    out.put(' ');
    out.put(affection_code(p.affection));
}

void put_genotypes(output_file& out, const study& s, const family& f, std::size_t i, const allele_table& names)
{
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const genotype& g = f.at(m, i);
        out.put(' ');
        out.put(names[m][g.a]);
        out.put(' ');
        out.put(names[m][g.b]);
    }
}

}  // namespace detail

void write_linkage(const study& s, const std::string& ped, const std::string& dat, const std::string& map,
                   const std::string& freq)
{
    detail::check_parents(s, linkage_no_parent, ped);
    std::vector<std::string> labels;
    for (const marker& mk : s.markers)
        labels.push_back(detail::chromosome_label(mk, false, map));
    const detail::allele_table names = detail::allele_names(s, linkage_allele);

    output_file ped_out(ped), dat_out(dat), map_out(map);
    std::unique_ptr<output_file> freq_out;
    if (!freq.empty())
        freq_out = std::make_unique<output_file>(freq);

    for (const family& f : s.families)
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            detail::put_person(ped_out, f, f.persons[i]);
            detail::put_genotypes(ped_out, s, f, i, names);
            ped_out.put('\n');
        }

    dat_out.put("A disease\n");
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const marker& mk = s.markers[m];
        dat_out.put("M ");
        dat_out.put(mk.name);
        dat_out.put('\n');
        // A marker with no allele (no genotype) is left to be counted again.
        if (freq_out && !mk.alleles.empty() && mk.freq.size() == mk.alleles.size()) {
            freq_out->put("M ");
            freq_out->put(mk.name);
            freq_out->put('\n');
            for (std::size_t k = 0; k < mk.alleles.size(); ++k) {
                freq_out->put("A ");
                freq_out->put(names[m][k + 1]);
                freq_out->put(' ');
                freq_out->put(shortest(mk.freq[k]));
                freq_out->put('\n');
            }
        }
    }
    dat_out.put("E\n");

    // In the map's own order, so that markers at one position keep theirs.
    std::vector<std::size_t> order(s.markers.size());
    for (std::size_t m = 0; m < order.size(); ++m)
        order[m] = m;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return s.markers[a].map_line < s.markers[b].map_line; });
    map_out.put("CHR MARKER CM\n");
    for (std::size_t m : order) {
        map_out.put(labels[m]);
        map_out.put(' ');
        map_out.put(s.markers[m].name);
        map_out.put(' ');
        map_out.put(shortest(s.markers[m].cm));
        map_out.put('\n');
    }

    ped_out.close();
    dat_out.close();
    map_out.close();
    if (freq_out)
        freq_out->close();
    ped_out.commit();
    dat_out.commit();
    map_out.commit();
    if (freq_out)
        freq_out->commit();
}

}  // namespace linkage
