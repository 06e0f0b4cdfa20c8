#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <numeric>

#include "read_common.h"

namespace linkage::read {

std::string slurp(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw input_error(path, 0, std::string("cannot open: ") + std::strerror(errno));
    std::string out;
    struct stat st;
    std::size_t size = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        size = static_cast<std::size_t>(st.st_size);
    // Straight into the string; a pipe or a file still growing takes more rounds.
    out.resize(size + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == out.size())
            out.resize(out.size() * 2);
        const ssize_t n = ::read(fd, out.data() + have, out.size() - have);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int e = errno;
            ::close(fd);
            throw input_error(path, 0, std::string("cannot read: ") + std::strerror(e));
        }
        have += static_cast<std::size_t>(n);
    }
    out.resize(have);
    ::close(fd);
    return out;
}

bool lines::next(std::string_view& line)
{
    if (rest_.empty())
        return false;
    const std::size_t nl = rest_.find('\n');
    line = rest_.substr(0, nl);
    rest_ = nl == std::string_view::npos ? std::string_view() : rest_.substr(nl + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    ++number_;
    return true;
}

void fields::skip_space()
{
    std::size_t i = 0;
    while (i < rest_.size() && is_space(rest_[i]))
        ++i;
    rest_.remove_prefix(i);
}

bool fields::at_end()
{
    skip_space();
    return rest_.empty();
}

bool fields::next(std::string_view& f)
{
    skip_space();
    if (rest_.empty())
        return false;
    std::size_t i = 0;
    while (i < rest_.size() && !is_space(rest_[i]))
        ++i;
    f = rest_.substr(0, i);
    rest_.remove_prefix(i);
    return true;
}

bool fields::genotype(std::string_view& a, std::string_view& b, bool& bad)
{
    bad = false;
    if (!next(a))
        return false;
    const std::size_t slash = a.find('/');
    if (slash != std::string_view::npos) {
        b = a.substr(slash + 1);
        a = a.substr(0, slash);
        if (b.empty() && !next(b))
            return false;
    } else {
        skip_space();
        if (!rest_.empty() && rest_.front() == '/')
            rest_.remove_prefix(1);
        if (!next(b))
            return false;
    }
    bad = a.empty() || b.empty() || b.find('/') != std::string_view::npos;
    return true;
}

std::string quote(std::string_view s)
{
    std::string q = "'";
    q += s;
    q += '\'';
    return q;
}

std::string some_names(const std::vector<std::string>& names)
{
    constexpr std::size_t shown = 3;
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i)
        out += (i ? ", " : "") + names[i];
    return names.size() > shown ? out + ", ..." : out;
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool parse_number(std::string_view s, double& v)
{
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && std::isfinite(v);
}

bool parse_count(std::string_view s, long& v)
{
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && v >= 0;
}

std::string_view drop_chr(std::string_view c)
{
    if (c.size() > 3 && iequals(c.substr(0, 3), "chr"))
        c.remove_prefix(3);
    return c;
}

void name_chromosome(std::string_view label, bool plink_codes, marker& mk)
{
    std::string_view c = drop_chr(label);
    if (plink_codes) {
        const bool digits =
            !c.empty() && std::all_of(c.begin(), c.end(), [](char x) { return x >= '0' && x <= '9'; });
        while (digits && c.size() > 1 && c.front() == '0')
            c.remove_prefix(1);
    }
    auto is = [&](std::string_view name, std::string_view code) {
        return iequals(c, name) || (plink_codes && !code.empty() && c == code);
    };
    mk.kind = chrom_kind::autosome;
    if (is("X", "23")) {
        mk.chrom = "X";
        mk.kind = chrom_kind::x_linked;
    } else if (is("XY", "25")) {  // the pseudo-autosomal part, read as X-linked like X itself
        mk.chrom = "XY";
        mk.kind = chrom_kind::x_linked;
    } else if (is("Y", "24")) {
        mk.chrom = "Y";
        mk.kind = chrom_kind::excluded;
    } else if (is("MT", "26") || (plink_codes && iequals(c, "M"))) {
        mk.chrom = "MT";
        mk.kind = chrom_kind::excluded;
    } else {
        mk.chrom = std::string(c);
        if (c == "0")
            mk.kind = chrom_kind::excluded;
    }
}

void check_chromosome_name(const std::string& map_file, const marker& mk, const char* marker_word)
{
    const std::string& c = mk.chrom;
    const bool plain = std::all_of(c.begin(), c.end(), [](char x) {
        return (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z') || (x >= '0' && x <= '9') || x == '_' || x == '-' ||
               x == '.';
    });
    if (!plain || c == "." || c == "..")
        throw input_error(map_file, mk.map_line,
                          "chromosome " + quote(c) + " of " + marker_word + " " + mk.name +
                              ": a chromosome name is letters, digits, _, - and . (it names a folder), not . or ..");
}

bool parse_sex(std::string_view s, sex& out)
{
    if (s == "1" || s == "m" || s == "M")
        out = sex::male;
    else if (s == "2" || s == "f" || s == "F")
        out = sex::female;
    else if (s == "0")
        out = sex::unknown;
    else
        return false;
    return true;
}

bool parse_affection(std::string_view s, status& out)
{
    if (s == "2")
        out = status::affected;
    else if (s == "1")
        out = status::unaffected;
    else if (s == "0" || s == "-9" || s == "x" || s == "X" || s == ".")
        out = status::unknown;
    else
        return false;
    return true;
}

namespace {

struct sv_hash {
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::string who(const family& f, const person& p) { return "family " + f.id + " person " + p.id; }

int parent_index(const std::unordered_map<std::string_view, int, sv_hash>& ids, std::string_view name)
{
    const auto it = ids.find(name);
    return it == ids.end() ? -1 : it->second;
}

}  // namespace

void store_genotypes(std::vector<family>& families, const std::vector<place>& where,
                     const std::vector<std::uint16_t>& raw, const std::vector<std::vector<std::uint16_t>>& recode)
{
    const std::size_t nmark = recode.size();
    for (family& fam : families)
        fam.geno.resize(fam.persons.size() * nmark);
    for (std::size_t r = 0; r < where.size(); ++r) {
        family& fam = families[where[r].family];
        const std::uint16_t* g = raw.data() + r * nmark * 2;
        for (std::size_t m = 0; m < nmark; ++m) {
            std::uint16_t a = recode[m][g[2 * m]], b = recode[m][g[2 * m + 1]];
            if (b < a)
                std::swap(a, b);
            fam.at(m, static_cast<std::size_t>(where[r].index)) = {a, b};
        }
    }
}

std::vector<family> assemble(const std::vector<person_row>& rows, const std::string& file,
                             bool (*no_parent)(std::string_view), std::vector<place>& where)
{
    std::vector<family> fams;
    std::unordered_map<std::string_view, int, sv_hash> fam_index;
    std::vector<std::unordered_map<std::string_view, int, sv_hash>> ids;
    where.clear();
    where.reserve(rows.size());
    for (const person_row& r : rows) {
        const auto [it, added] = fam_index.try_emplace(r.family, static_cast<int>(fams.size()));
        if (added) {
            fams.emplace_back();
            fams.back().id = std::string(r.family);
            ids.emplace_back();
        }
        family& f = fams[it->second];
        const auto [pit, fresh] = ids[it->second].try_emplace(r.id, static_cast<int>(f.persons.size()));
        if (!fresh)
            throw input_error(file, r.line,
                              "family " + f.id + ": person " + std::string(r.id) + " is listed twice (first on line " +
                                  std::to_string(f.persons[pit->second].line) + ")");
        person p;
        p.id = std::string(r.id);
        p.sex = r.sex;
        p.affection = r.affection;
        p.line = r.line;
        f.persons.push_back(std::move(p));
        where.push_back({it->second, pit->second});
    }

    // Parents are linked once every row is in: they may follow their children.
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const person_row& row = rows[r];
        family& f = fams[where[r].family];
        person& p = f.persons[where[r].index];
        const bool no_father = no_parent(row.father);
        const bool no_mother = no_parent(row.mother);
        if (no_father != no_mother) {
            const bool has_father = !no_father;
            throw input_error(file, row.line,
                              who(f, p) + ": " + (has_father ? "father " : "mother ") +
                                  std::string(has_father ? row.father : row.mother) + " is given without a " +
                                  (has_father ? "mother" : "father"));
        }
        if (no_father)
            continue;
        const auto& fam_ids = ids[where[r].family];
        const int father = parent_index(fam_ids, row.father);
        const int mother = parent_index(fam_ids, row.mother);
        if (father < 0)
            throw input_error(file, row.line, who(f, p) + ": father " + std::string(row.father) + " is not in the family");
        if (mother < 0)
            throw input_error(file, row.line, who(f, p) + ": mother " + std::string(row.mother) + " is not in the family");
        if (father == mother)
            throw input_error(file, row.line, who(f, p) + ": father and mother are both " + std::string(row.father));
        if (f.persons[father].sex == sex::female)
            throw input_error(file, row.line, who(f, p) + ": father " + std::string(row.father) + " is female");
        if (f.persons[mother].sex == sex::male)
            throw input_error(file, row.line, who(f, p) + ": mother " + std::string(row.mother) + " is male");
        p.father = father;
        p.mother = mother;
    }
    for (const family& f : fams)
        parents_first(f, file);
    return fams;
}

std::uint16_t allele_names::code(std::string_view name)
{
    // Most files number their alleles, or give sizes such as 152: an array
    // lookup spares hashing millions of fields.
    const bool small = !name.empty() && name.size() <= 4 && name.front() != '0' &&
                       std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    std::size_t value = 0;
    if (small) {
        for (char c : name)
            value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value < small_.size() && small_[value])
            return small_[value];
    } else if (const auto it = other_.find(name); it != other_.end()) {
        return it->second;
    }
    if (names_.size() >= max_alleles)
        return 0;
    names_.emplace_back(name);
    const auto code = static_cast<std::uint16_t>(names_.size());
    if (small) {
        if (value >= small_.size())
            small_.resize(value + 1, 0);
        small_[value] = code;
    } else {
        other_.emplace(std::string(name), code);
    }
    return code;
}

std::vector<std::string> natural_order(const std::vector<std::string>& names, std::vector<std::uint16_t>& new_code)
{
    auto digits = [](const std::string& s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const bool numeric = std::all_of(names.begin(), names.end(), digits);
    auto significant = [](const std::string& s) {
        std::string_view v(s);
        while (v.size() > 1 && v.front() == '0')
            v.remove_prefix(1);
        return v;
    };
    std::vector<std::size_t> order(names.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        const std::string& a = names[x];
        const std::string& b = names[y];
        if (numeric) {
            // Compared as strings of digits: no overflow however long. "01"
            // and "1" are the same number but different names; keep both.
            const std::string_view sa = significant(a), sb = significant(b);
            if (sa.size() != sb.size())
                return sa.size() < sb.size();
            if (sa != sb)
                return sa < sb;
        }
        return a < b;
    });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    new_code.assign(names.size() + 1, 0);
    for (std::size_t k = 0; k < order.size(); ++k) {
        sorted.push_back(names[order[k]]);
        new_code[order[k] + 1] = static_cast<std::uint16_t>(k + 1);
    }
    return sorted;
}

}  // namespace linkage::read
