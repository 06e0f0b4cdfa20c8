#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

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

const std::string& allele_name(const marker& mk, std::uint16_t code)
{
    static const std::string missing = "0";
    return code == 0 ? missing : mk.alleles[code - 1u];
}

char sex_code(sex s) { return s == sex::male ? '1' : s == sex::female ? '2' : '0'; }
char affection_code(status a) { return a == status::affected ? '2' : a == status::unaffected ? '1' : '0'; }

}  // namespace

namespace detail {

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

void put_genotypes(output_file& out, const study& s, const family& f, std::size_t i)
{
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const genotype& g = f.at(m, i);
        out.put(' ');
        out.put(allele_name(s.markers[m], g.a));
        out.put(' ');
        out.put(allele_name(s.markers[m], g.b));
    }
}

}  // namespace detail

void write_linkage(const study& s, const std::string& ped, const std::string& dat, const std::string& map,
                   const std::string& freq)
{
    output_file ped_out(ped), dat_out(dat), map_out(map);
    std::unique_ptr<output_file> freq_out;
    if (!freq.empty())
        freq_out = std::make_unique<output_file>(freq);

    for (const family& f : s.families)
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            detail::put_person(ped_out, f, f.persons[i]);
            detail::put_genotypes(ped_out, s, f, i);
            ped_out.put('\n');
        }

    dat_out.put("A disease\n");
    map_out.put("CHR MARKER CM\n");
    for (const marker& mk : s.markers) {
        dat_out.put("M ");
        dat_out.put(mk.name);
        dat_out.put('\n');
        map_out.put(mk.chrom);
        map_out.put(' ');
        map_out.put(mk.name);
        map_out.put(' ');
        map_out.put(shortest(mk.cm));
        map_out.put('\n');
        if (freq_out) {
            freq_out->put("M ");
            freq_out->put(mk.name);
            freq_out->put("\nF");
            for (double p : mk.freq) {
                freq_out->put(' ');
                freq_out->put(shortest(p));
            }
            freq_out->put('\n');
        }
    }
    dat_out.put("E\n");

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
