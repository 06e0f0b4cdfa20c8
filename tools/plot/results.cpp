#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>

#include "plot.h"

namespace brell_plot {

namespace {

constexpr int NCOLUMNS = 5;

std::string where(const std::string& name, long line)
{
    return name + " line " + std::to_string(line) + ": ";
}

// Whole token or nothing: "2.5x" is an error here, not 2.5.
bool to_double(const std::string& token, double& v)
{
    const char* s = token.c_str();
    if (std::isspace(static_cast<unsigned char>(*s)))
        return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s, &end);
    if (end == s || end != s + token.size())
        return false;
    // Overflow is refused; underflow to a tiny or zero value is not.
    return !(errno == ERANGE && std::isinf(v));
}

// Non-printable bytes would garble the message; show them as escapes.
std::string shown(const std::string& token)
{
    constexpr std::size_t MAXSHOWN = 40;
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < MAXSHOWN; ++i) {
        auto c = static_cast<unsigned char>(token[i]);
        if (c < 0x20 || c == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (token.size() > MAXSHOWN)
        out += "...";
    return out;
}

}  // namespace

std::vector<result_row> parse_results(std::istream& in, const std::string& name)
{
    std::vector<result_row> rows;
    std::string text;
    long lineno = 0;
    while (std::getline(in, text)) {
        ++lineno;
        std::vector<std::string> fields;
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            std::size_t start = i;
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            if (i > start)
                fields.push_back(text.substr(start, i - start));
        }
        if (fields.empty())
            continue;  // a blank line, e.g. at the end of an edited file
        if (fields.size() != NCOLUMNS)
            throw plot_error(where(name, lineno) + "expected " + std::to_string(NCOLUMNS) + " numbers, found " +
                             std::to_string(fields.size()) + " fields");
        double v[NCOLUMNS];
        for (int c = 0; c < NCOLUMNS; ++c)
            if (!to_double(fields[c], v[c]))
                throw plot_error(where(name, lineno) + "field " + std::to_string(c + 1) + " (" + shown(fields[c]) +
                                 ") is not a number");
        rows.push_back({v[0], v[1], v[2], signed_lod(v[3], v[4]), v[4]});
    }
    if (in.bad())
        throw plot_error(name + ": could not be read");
    if (rows.empty())
        throw plot_error(name + ": no positions");
    return rows;
}

namespace {

std::ifstream open_input(const std::string& path)
{
    // A directory opens as a stream on Linux and only fails to read.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw plot_error(path + ": could not be opened (" + std::strerror(EISDIR) + ")");
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::string why = errno ? std::string(" (") + std::strerror(errno) + ")" : "";
        throw plot_error(path + ": could not be opened" + why);
    }
    return in;
}

// One line of a tab-separated table; empty fields are kept.
class table_reader {
public:
    table_reader(std::istream& in, const std::string& name) : in_(in), name_(name) {}

    // The next line that is not blank; false at the end of the file.
    bool next()
    {
        std::string text;
        while (std::getline(in_, text)) {
            ++lineno_;
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            if (text.find_first_not_of(" \t") == std::string::npos)
                continue;
            fields.clear();
            for (std::size_t start = 0;;) {
                std::size_t tab = text.find('\t', start);
                fields.push_back(text.substr(start, tab == std::string::npos ? tab : tab - start));
                if (tab == std::string::npos)
                    break;
                start = tab + 1;
            }
            return true;
        }
        if (in_.bad())
            throw plot_error(name_ + ": could not be read");
        return false;
    }

    plot_error error(const std::string& reason) const { return plot_error(where(name_, lineno_) + reason); }

    void expect_fields(std::size_t n) const
    {
        if (fields.size() != n)
            throw error("expected " + std::to_string(n) + " fields, found " + std::to_string(fields.size()));
    }

    // Column names must match in order; returns at the first column past
    // the given ones.
    void expect_header(std::size_t first, std::initializer_list<std::string> names) const
    {
        if (fields.size() == 1 && fields[0].find(' ') != std::string::npos)
            throw error("the header is not tab-separated");
        std::size_t c = first;
        for (const std::string& want : names) {
            if (c >= fields.size())
                throw error("header ends after column " + std::to_string(c) + ", expected '" + want + "'");
            if (fields[c] != want)
                throw error("column " + std::to_string(c + 1) + " is '" + shown(fields[c]) + "', expected '" + want +
                            "'");
            ++c;
        }
    }

    // An empty field is NaN where that is allowed.
    double number(std::size_t c, bool required = true) const
    {
        if (fields[c].empty()) {
            if (required)
                throw error("field " + std::to_string(c + 1) + " is empty");
            return NAN;
        }
        double v;
        if (!to_double(fields[c], v))
            throw error("field " + std::to_string(c + 1) + " (" + shown(fields[c]) + ") is not a number");
        return v;
    }

    const std::string& text(std::size_t c, const char* what) const
    {
        if (fields[c].empty())
            throw error("field " + std::to_string(c + 1) + " (" + what + ") is empty");
        return fields[c];
    }

    std::vector<std::string> fields;

private:
    std::istream& in_;
    const std::string& name_;
    long lineno_ = 0;
};

constexpr std::size_t SCAN_FIXED = 4;  // chromosome, position, marker, information
const char* const MODEL_COLUMNS[] = {"_npl_z", "_zlr", "_lod", "_delta"};
constexpr std::size_t NMODEL_COLUMNS = 4;

}  // namespace

std::vector<result_row> read_results(const std::string& path)
{
    std::ifstream in = open_input(path);
    return parse_results(in, path);
}

genome_scan read_scan(std::istream& in, const std::string& name)
{
    genome_scan scan;
    scan.name = name;
    table_reader t(in, name);
    if (!t.next())
        throw plot_error(name + ": no header");

    t.expect_header(0, {"chromosome", "position", "marker", "information"});
    if (t.fields.size() == SCAN_FIXED)
        throw t.error("header ends after column 4, expected model columns such as 'lin_npl_z'");
    std::vector<std::string> prefixes;
    for (std::size_t c = SCAN_FIXED; c < t.fields.size(); c += NMODEL_COLUMNS) {
        const std::string& first = t.fields[c];
        std::string suffix = MODEL_COLUMNS[0];
        if (first.size() <= suffix.size() || !first.ends_with(suffix))
            throw t.error("column " + std::to_string(c + 1) + " is '" + shown(first) +
                          "', expected a model's first column such as 'lin_npl_z'");
        std::string prefix = first.substr(0, first.size() - suffix.size());
        for (const std::string& seen : prefixes)
            if (seen == prefix)
                throw t.error("column " + std::to_string(c + 1) + " repeats model '" + shown(prefix) + "'");
        t.expect_header(c + 1, {prefix + MODEL_COLUMNS[1], prefix + MODEL_COLUMNS[2], prefix + MODEL_COLUMNS[3]});
        prefixes.push_back(prefix);
        std::string model = prefix;
        for (char& ch : model)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        scan.models.push_back(model);
    }
    const std::size_t ncolumns = t.fields.size();

    while (t.next()) {
        t.expect_fields(ncolumns);
        const std::string& chrom = t.text(0, "chromosome");
        double pos = t.number(1);
        if (!std::isfinite(pos))
            throw t.error("field 2 (" + shown(t.fields[1]) + ") is not a finite position");
        if (scan.chromosomes.empty() || scan.chromosomes.back().name != chrom) {
            for (const scan_chromosome& c : scan.chromosomes)
                if (c.name == chrom)
                    throw t.error("chromosome " + shown(chrom) + " appears again after chromosome " +
                                  shown(scan.chromosomes.back().name));
            scan.chromosomes.push_back({chrom, {}, std::vector<std::vector<result_row>>(scan.models.size())});
        }
        scan_chromosome& c = scan.chromosomes.back();
        // Drawing and regions follow the map in order; equal positions are
        // markers with no recombination between them.
        if (!c.positions.empty() && pos < c.positions.back().pos)
            throw t.error("position " + shown(t.fields[1]) + " is below the one before it on chromosome " +
                          shown(chrom));
        c.positions.push_back({pos, t.fields[2], t.number(3)});
        for (std::size_t m = 0; m < scan.models.size(); ++m) {
            std::size_t at = SCAN_FIXED + NMODEL_COLUMNS * m;
            const double delta = t.number(at + 3);
            c.curves[m].push_back({pos, t.number(at), t.number(at + 1), signed_lod(t.number(at + 2), delta), delta});
        }
    }
    if (scan.chromosomes.empty())
        throw plot_error(name + ": no positions");
    return scan;
}

genome_scan read_scan(const std::string& path)
{
    std::ifstream in = open_input(path);
    return read_scan(in, path);
}

significance read_significance(std::istream& in, const std::string& name)
{
    significance sig;
    sig.name = name;
    table_reader t(in, name);
    if (!t.next())
        throw plot_error(name + ": no header");
    constexpr std::size_t NCOLUMNS_SIG = 7;
    t.expect_header(0, {"model", "kind", "id", "chromosome", "position", "lod", "p"});
    if (t.fields.size() != NCOLUMNS_SIG)
        throw t.error("the header has " + std::to_string(t.fields.size()) + " columns, expected " +
                      std::to_string(NCOLUMNS_SIG));

    while (t.next()) {
        t.expect_fields(NCOLUMNS_SIG);
        const std::string& model = t.text(0, "model");
        const std::string& kind = t.fields[1];
        if (kind == "replicate")
            sig.replicates.push_back({model, t.fields[2], t.fields[3], t.number(4, false), t.number(5, false)});
        else if (kind == "threshold")
            sig.thresholds.push_back({model, t.text(2, "id"), t.number(5)});
        else if (kind == "peak")
            sig.peaks.push_back({model, t.text(3, "chromosome"), t.number(4), t.number(5), t.number(6)});
        else
            throw t.error("field 2 (" + shown(kind) + ") is not replicate, threshold or peak");
    }
    return sig;
}

significance read_significance(const std::string& path)
{
    std::ifstream in = open_input(path);
    return read_significance(in, path);
}

}  // namespace brell_plot
