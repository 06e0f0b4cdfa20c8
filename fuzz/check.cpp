#include "check.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <vector>

#include "brell.h"

namespace brell_fuzz {

namespace {

// Caps that keep one run to milliseconds: a large grid or file is
// legitimate work, not a hang.
constexpr std::size_t INPUT_CAP = std::size_t{1} << 16;
constexpr std::size_t FILE_CAP = std::size_t{1} << 18;  // after repetition
constexpr std::size_t WORDS_CAP = 16;
constexpr long INTERVALS_CAP = 1000;
constexpr double WORK_CAP = 2e6;  // objective evaluations per position x rows
constexpr double GSS_EVALS = 53;

const char* const PROGNAME = "brell";
const char* const EARLIER_RESULTS = "results of an earlier run\n";
// Where a brell.out that is a symbolic link points.
const char* const LINK_TARGET = "results.txt";

enum class kind { absent, file, dir, link };

struct entry {
    kind k = kind::absent;
    std::string text;
    unsigned mode = 0;  // permission bits of a file; 0: as a new file gets them

    bool operator==(const entry&) const = default;
};

struct fuzz_case {
    std::vector<std::string> words;  // after the program name
    entry null, weights, probs;
    entry out{kind::file, EARLIER_RESULTS};
};

// ---- Text -------------------------------------------------------------

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Into f, reused from line to line.
void fields_of(std::string_view line, std::vector<std::string_view>& f)
{
    f.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (is_space(line[i])) {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < line.size() && !is_space(line[i]))
            ++i;
        f.push_back(line.substr(start, i - start));
    }
}

// A last line without its '\n' still counts; an empty text has no lines.
std::vector<std::string_view> lines_of(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// A token that strtod reads to its end. scanf's %le takes the same forms,
// except that it stops before the "(chars)" of "nan(chars)".
bool number(std::string_view t, double& v)
{
    if (t.empty() || t.find('(') != std::string_view::npos || t.find('\0') != std::string_view::npos)
        return false;
    std::string s(t);
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

bool same_position(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

std::string le(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%12.5le", v);
    return b;
}

// Exactly what "%12.5le" prints for some double.
bool is_le(std::string_view s)
{
    std::string t(s);
    return !t.empty() && le(std::strtod(t.c_str(), nullptr)) == t;
}

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* fmt, ...)
{
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    return b;
}

// For violation reports: escaped, and cut when long.
std::string shown(std::string_view s)
{
    std::string r = "\"";
    std::size_t n = 0;
    for (char c : s) {
        if (++n > 600) {
            r += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n')
            r += "\\n";
        else if (c == '\\' || c == '"')
            r += std::string("\\") + c;
        else if (u < 32 || u >= 127)
            r += printf_string("\\x%02x", u);
        else
            r += c;
    }
    return r + "\"";
}

// ---- The input --------------------------------------------------------

bool section_line(std::string_view line, fuzz_case& c, entry*& target, kind& k, std::size_t& repeat, unsigned& mode)
{
    if (line.substr(0, 2) != "==")
        return false;
    std::vector<std::string_view> t;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t sp = line.find(' ', i);
        if (sp == std::string_view::npos)
            sp = line.size();
        if (sp > i)
            t.push_back(line.substr(i, sp - i));
        i = sp + 1;
    }
    std::string_view name = t[0].substr(2);
    if (name == "nullprobs")
        target = &c.null;
    else if (name == "weights")
        target = &c.weights;
    else if (name == "probs")
        target = &c.probs;
    else if (name == "brell.out")
        target = &c.out;
    else
        return false;
    k = kind::file;
    repeat = 1;
    mode = 0;
    for (std::size_t i = 1; i < t.size(); ++i) {
        if (t[i] == "dir") {
            k = kind::dir;
        } else if (t[i] == "link" && target == &c.out) {
            k = kind::link;
        } else if (t[i] == "none") {
            k = kind::absent;
        } else if (t[i] == "private") {
            mode = 0600;
        } else if (t[i].size() >= 2 && t[i].size() <= 8 && t[i][0] == 'x' &&
                   t[i].find_first_not_of("0123456789", 1) == std::string_view::npos) {
            repeat = std::strtoul(std::string(t[i].substr(1)).c_str(), nullptr, 10);
        } else {
            return false;
        }
    }
    return true;
}

void parse_case(std::string_view in, fuzz_case& c)
{
    std::size_t nl = in.find('\n');
    std::string_view first = in.substr(0, nl);
    if (!first.empty()) {
        for (std::size_t i = 0;;) {
            std::size_t sp = first.find(' ', i);
            std::string w(first.substr(i, sp == std::string_view::npos ? std::string_view::npos : sp - i));
            c.words.push_back(w.c_str());  // a word ends at a NUL, as in any argv
            if (sp == std::string_view::npos)
                break;
            i = sp + 1;
        }
    }
    if (nl == std::string_view::npos)
        return;
    std::string_view rest = in.substr(nl + 1);

    entry* target = nullptr;
    kind k = kind::file;
    std::size_t repeat = 1;
    unsigned mode = 0;
    std::size_t content = 0;
    std::vector<entry*> seen;
    auto finish = [&](std::size_t stop) {
        if (!target)
            return;
        std::string_view text = rest.substr(content, stop - content);
        // A second section of a file adds to it: one file can hold several
        // repeated runs of lines.
        bool more = std::find(seen.begin(), seen.end(), target) != seen.end() && target->k == kind::file &&
                    k == kind::file;
        seen.push_back(target);
        if (!more) {
            target->text.clear();
            target->mode = mode;
        }
        target->k = k;
        if ((k != kind::file && k != kind::link) || text.empty())
            return;
        repeat = std::min(repeat, (FILE_CAP - std::min(FILE_CAP, target->text.size())) / text.size());
        for (std::size_t i = 0; i < repeat; ++i)
            target->text += text;
    };
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = rest.find('\n', start);
        if (end == std::string_view::npos)
            end = rest.size();
        entry* t = nullptr;
        kind tk = kind::file;
        std::size_t tr = 1;
        unsigned tm = 0;
        if (section_line(rest.substr(start, end - start), c, t, tk, tr, tm)) {
            finish(start);
            target = t;
            k = tk;
            repeat = tr;
            mode = tm;
            content = std::min(end + 1, rest.size());
        }
        start = end + 1;
    }
    finish(rest.size());
}

// ---- What the run must do ---------------------------------------------

struct command {
    bool valid = false;
    std::string usage;  // when not valid: everything the run prints
    int model = 0;      // 1 linear, 2 exponential
    bool grid = false;
    double dmin = 0.0;
    double dmax = 0.0;
    long numintervals = 0;
};

int model_of(const std::string& w)
{
    for (const char* k : {"LIN", "lin", "Lin"})
        if (std::strncmp(w.c_str(), k, 3) == 0)
            return 1;
    for (const char* k : {"EXP", "exp", "Exp"})
        if (std::strncmp(w.c_str(), k, 3) == 0)
            return 2;
    return 0;
}

bool finite_word(const std::string& w, double& v)
{
    return std::sscanf(w.c_str(), "%le", &v) == 1 && std::isfinite(v);
}

command read_command(const std::vector<std::string>& w)
{
    command c;
    for (const char* line : {"Usage: %s LIN\n", "       %s LIN GRID dmin dmax numintervals\n", "       %s EXP\n",
                             "       %s EXP GRID dmin dmax numintervals\n"})
        c.usage += printf_string(line, PROGNAME);
    if (w.empty() || !(c.model = model_of(w[0])))
        return c;
    if (w.size() == 1) {
        c.valid = true;
        return c;
    }
    if ((w[1] != "GRID" && w[1] != "grid" && w[1] != "Grid") || w.size() != 5)
        return c;
    if (!finite_word(w[2], c.dmin) || !finite_word(w[3], c.dmax))
        return c;
    const char* n = w[4].c_str();
    char* end = nullptr;
    errno = 0;
    long intervals = std::strtol(n, &end, 10);
    if (end == n || errno == ERANGE || intervals < INT_MIN || intervals > INT_MAX)
        return c;
    if (c.dmin >= c.dmax) {
        c.usage = "Error: dmin must be less than dmax\n" + c.usage;
        return c;
    }
    if (intervals <= 0) {
        c.usage = "Error: numintervals must be a positive integer\n" + c.usage;
        return c;
    }
    c.valid = true;
    c.grid = true;
    c.numintervals = intervals;
    return c;
}

struct kindred {
    std::string name;
    std::vector<double> score;
    double weight = 1.0;
    std::vector<double> prob;
};

std::size_t count_lines(const entry& e)
{
    return static_cast<std::size_t>(std::count(e.text.begin(), e.text.end(), '\n')) + 1;
}

bool too_costly(const fuzz_case& c, const command& cmd)
{
    if (cmd.grid && cmd.numintervals > INTERVALS_CAP)
        return true;
    double evals = cmd.grid ? static_cast<double>(cmd.numintervals) + 1 : GSS_EVALS;
    return evals * static_cast<double>(count_lines(c.null) + count_lines(c.probs)) > WORK_CAP;
}

enum class stage { command, nullprobs, weights, probs, results, none };

struct expectation {
    stage fails = stage::none;
    std::string before;       // printed ahead of everything else: the weights warnings
    std::string error;        // the failing phase's message
    bool error_open = false;  // error is only its start: a reason follows on the line
    std::vector<kindred> fam;
    std::vector<double> pos;
};

// 0 when the file reads, else the line to blame.
long read_null(std::string_view text, std::vector<kindred>& fam)
{
    std::vector<std::string_view> lines = lines_of(text);
    std::vector<std::string_view> f;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        fields_of(lines[i], f);
        if (f.empty())
            continue;
        double p = 0.0;
        double s = 0.0;
        if (f.size() != 3 || !number(f[1], p) || !number(f[2], s))
            return static_cast<long>(i) + 1;
        if (fam.empty() || fam.back().name != f[0]) {
            fam.emplace_back();
            fam.back().name = f[0];
        }
        fam.back().score.push_back(s);
    }
    return fam.empty() ? static_cast<long>(lines.size()) + 1 : 0;
}

// False at a malformed line; the warnings of the lines before it are kept.
bool read_weights(std::string_view text, std::vector<kindred>& fam, std::string& warnings)
{
    std::map<std::string, kindred*, std::less<>> first;
    for (kindred& k : fam)
        first.emplace(k.name, &k);
    std::vector<std::string_view> f;
    for (std::string_view line : lines_of(text)) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        fields_of(line, f);
        if (f.empty())
            return false;
        // The weight as scanf reads it from the rest of the line.
        std::string rest(f[0].data() + f[0].size(), line.data() + line.size());
        double w = 0.0;
        if (std::sscanf(rest.c_str(), "%le", &w) != 1)
            return false;
        auto it = first.find(f[0]);
        const std::string printed = std::string(f[0]).c_str();  // %s stops at a NUL
        if (it == first.end())
            warnings += "Warning: kindred (" + printed + ") not found, no weight assigned\n";
        else
            it->second->weight = w;
    }
    return true;
}

struct prob_line {
    long no = 0;
    bool blank = false;
    bool bad = false;
    std::string_view id;
    double pos = 0.0;
    double prob = 0.0;
};

// 0 when the file reads, else the line to blame: the first line that breaks
// a rule, except that the first kindred's block is judged once it is all
// read (its positions make the map).
long read_probs(std::string_view text, std::vector<kindred>& fam, std::vector<double>& pos)
{
    std::vector<std::string_view> lines = lines_of(text);
    const long end_line = static_cast<long>(lines.size()) + 1;
    std::vector<prob_line> rows(lines.size());
    std::vector<std::string_view> f;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        prob_line& r = rows[i];
        r.no = static_cast<long>(i) + 1;
        fields_of(lines[i], f);
        r.blank = f.empty();
        double skipped = 0.0;
        r.bad = !r.blank && (f.size() != 4 || !number(f[1], r.pos) || !number(f[2], skipped) || !number(f[3], r.prob));
        if (!r.blank)
            r.id = f[0];
    }

    kindred& first = fam[0];
    std::vector<const prob_line*> block;
    std::size_t next = 0;
    bool ended_by_row = false;
    for (; next < rows.size(); ++next) {
        const prob_line& r = rows[next];
        if (r.blank)
            continue;
        if (r.bad)
            return r.no;
        if (r.id != first.name) {
            if (block.empty())
                return r.no;
            ended_by_row = true;
            break;
        }
        block.push_back(&r);
    }
    if (block.empty())
        return end_line;
    // A new position at every change, by exact comparison.
    pos.push_back(block[0]->pos);
    for (std::size_t i = 1; i < block.size(); ++i)
        if (block[i]->pos != block[i - 1]->pos)
            pos.push_back(block[i]->pos);

    const std::size_t n0 = first.score.size();
    const std::size_t want0 = pos.size() * n0;
    for (std::size_t r = 0; r < std::min(want0, block.size()); ++r)
        if (!same_position(block[r]->pos, pos[r / n0]))
            return block[r]->no;
    if (block.size() > want0)
        return block[want0]->no;
    if (block.size() < want0)
        return ended_by_row ? rows[next].no : end_line;
    for (const prob_line* r : block)
        first.prob.push_back(r->prob);

    std::size_t total = 0;
    for (const kindred& k : fam)
        total += pos.size() * k.score.size();
    std::size_t row = want0;
    std::size_t i = 1;
    std::size_t p = 0;
    std::size_t k = 0;
    for (; next < rows.size(); ++next) {
        const prob_line& r = rows[next];
        if (r.blank)
            continue;
        if (row >= total || r.bad)
            return r.no;
        kindred& kin = fam[i];
        if (r.id != kin.name || !same_position(r.pos, pos[p]))
            return r.no;
        kin.prob.push_back(r.prob);
        ++row;
        if (++k == kin.score.size()) {
            k = 0;
            if (++p == pos.size()) {
                p = 0;
                ++i;
            }
        }
    }
    return row < total ? end_line : 0;
}

std::string open_message(const char* name)
{
    return std::string("Run-time error:  file (") + name + ") could not be opened\n";
}

expectation expect(const fuzz_case& c, const command& cmd)
{
    expectation e;
    auto fail = [&](stage s, std::string error, bool open = false) {
        e.fails = s;
        e.error = std::move(error);
        e.error_open = open;
        return e;
    };
    if (!cmd.valid)
        return fail(stage::command, cmd.usage);
    if (c.null.k != kind::file)
        return fail(stage::nullprobs, open_message(brell::NULLPROBS_FILE));
    auto line_error = [](const char* file, long line) {
        return printf_string("Run-time error:  file (%s) line %ld: ", file, line);
    };
    if (long line = read_null(c.null.text, e.fam))
        return fail(stage::nullprobs, line_error(brell::NULLPROBS_FILE, line), true);
    if (c.weights.k == kind::file && !read_weights(c.weights.text, e.fam, e.before))
        return fail(stage::weights, "Run-time error: 'weights.dat' improperly formatted\n");
    if (c.probs.k != kind::file)
        return fail(stage::probs, open_message(brell::PROBS_FILE));
    if (long line = read_probs(c.probs.text, e.fam, e.pos))
        return fail(stage::probs, line_error(brell::PROBS_FILE, line), true);
    if (c.out.k == kind::dir)
        return fail(stage::results, "Run-time error:  file (brell.out) could not be written\n");
    return e;
}

// ---- Judging a run ----------------------------------------------------

// The searches once more, position after position, on the objective as it
// is defined: no shared tables, no screening of grid points, one thread.
// What the run must have found, and the messages it must have printed.
struct searched {
    std::vector<double> delta;
    std::vector<double> lod;
    std::string msgs;
};

searched search_again(const brell::run_data& dat, const command& cmd)
{
    brell::run_data ref = dat;
    ref.exp_cache.reset();
    const brell::objective f = cmd.model == 1 ? brell::f1_linear : brell::f1_exponential;
    searched s;
    for (int p = 0; p < ref.npos; ++p) {
        brell::eval_point pt;
        if (cmd.grid)
            brell::grid(ref, p, f, pt, s.msgs);
        else
            brell::gss(ref, p, f, pt, s.msgs);
    }
    s.delta.assign(ref.delta.begin(), ref.delta.end());
    s.lod.assign(ref.lod.begin(), ref.lod.end());
    return s;
}

// The model's warnings and notice, then the searches' messages.
std::string judge_model_lines(std::string_view text, const command& cmd, const searched& s)
{
    std::vector<std::string_view> lines = lines_of(text);
    std::size_t at = 0;
    std::size_t used = 0;  // characters of text taken by those lines
    auto take = [&](const std::string& want) {
        if (at < lines.size() && lines[at] == want) {
            used += lines[at++].size() + 1;
            return true;
        }
        return false;
    };
    auto need = [&](const std::string& want) {
        return take(want) ? std::string() : "missing line " + shown(want) + " in " + shown(text);
    };
    std::string why;
    if (cmd.grid && cmd.model == 1 && at < lines.size()) {
        const std::string head = "Warning: User-supplied dmax (" + le(cmd.dmax) + ") exceeds theoretical bound (";
        std::string_view l = lines[at];
        if (l.substr(0, head.size()) == head && l.back() == ')' &&
            is_le(l.substr(head.size(), l.size() - head.size() - 1)))
            used += lines[at++].size() + 1;
    }
    if (cmd.grid && cmd.dmin < 0) {
        why += need("Warning: User-supplied dmin (" + le(cmd.dmin) + ") is smaller than 0");
        why += need("         Negative delta's model deficit sharing and should be used with caution");
    }
    if (!cmd.grid && cmd.model == 2) {
        why += need("NOTICE:  If the golden-section search maximizes on the boundary,");
        why += need("         consider using a GRID search");
    }
    if (!why.empty())
        return why;
    std::string_view rest = text.substr(std::min(used, text.size()));
    if (rest != s.msgs)
        return "the searches printed " + shown(rest) + ", expected " + shown(s.msgs);
    return "";
}

std::string judge_output(const expectation& e, const command& cmd, std::string_view out, const searched& s)
{
    auto wrong = [&](const std::string& expected) {
        return "printed " + shown(out) + ", expected " + expected;
    };
    if (e.fails == stage::command)
        return out == e.error ? "" : wrong(shown(e.error));
    if (out.substr(0, e.before.size()) != e.before)
        return wrong("to begin with " + shown(e.before));
    std::string_view rest = out.substr(e.before.size());
    switch (e.fails) {
    case stage::nullprobs:
    case stage::weights:
    case stage::probs:
        if (!e.error_open)
            return rest == e.error ? "" : wrong(shown(e.before + e.error));
        // One line: the fixed start, a reason, the newline.
        if (rest.substr(0, e.error.size()) != e.error || rest.size() <= e.error.size() + 1 || rest.back() != '\n' ||
            rest.find('\n') != rest.size() - 1)
            return wrong(shown(e.before + e.error) + " and a reason");
        return "";
    case stage::results:
        if (rest.size() < e.error.size() || rest.substr(rest.size() - e.error.size()) != e.error)
            return wrong("to end with " + shown(e.error));
        return judge_model_lines(rest.substr(0, rest.size() - e.error.size()), cmd, s);
    default:
        return judge_model_lines(rest, cmd, s);
    }
}

std::string judge_results(std::string_view text, const std::vector<double>& pos)
{
    if (!text.empty() && text.back() != '\n')
        return "brell.out does not end with a newline: " + shown(text);
    std::vector<std::string_view> lines = lines_of(text);
    if (lines.size() != pos.size())
        return printf_string("brell.out has %zu lines for %zu positions: ", lines.size(), pos.size()) + shown(text);
    std::vector<std::string_view> f;
    for (std::size_t p = 0; p < lines.size(); ++p) {
        fields_of(lines[p], f);
        std::string want = le(pos[p]);
        for (std::size_t j = 1; j < 5 && j < f.size(); ++j)
            want += "  " + le(std::strtod(std::string(f[j]).c_str(), nullptr));
        if (f.size() != 5 || lines[p] != want)
            return printf_string("brell.out line %zu is ", p + 1) + shown(lines[p]) + ", expected the form " +
                   shown(want);
    }
    return "";
}

template <class A, class B>
bool same_bits(const A& a, const B& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// What the readers stored: every value exactly as strtod reads it.
std::string judge_data(const brell::run_data& dat, const expectation& e)
{
    if (dat.nfam != static_cast<int>(e.fam.size()) || dat.fam.size() != e.fam.size())
        return printf_string("%d kindreds read, expected %zu", dat.nfam, e.fam.size());
    for (std::size_t i = 0; i < e.fam.size(); ++i) {
        const brell::fam_record& r = dat.fam[i];
        const kindred& k = e.fam[i];
        if (r.name != k.name || r.nscores != static_cast<int>(k.score.size()))
            return printf_string("kindred %zu read as ", i) + shown(r.name) + printf_string(" with %d rows", r.nscores);
        if (!same_bits(r.score, k.score))
            return printf_string("scores of kindred %zu differ from strtod's", i);
        if (std::memcmp(&r.weight, &k.weight, sizeof(double)) != 0)
            return printf_string("weight of kindred %zu is %.17g, expected %.17g", i, r.weight, k.weight);
        if (!same_bits(r.prob, k.prob))
            return printf_string("probabilities of kindred %zu differ from strtod's", i);
    }
    if (dat.npos != static_cast<int>(e.pos.size()) || !same_bits(dat.pos, e.pos))
        return printf_string("%d positions read, expected %zu", dat.npos, e.pos.size());
    return "";
}

// ---- The scratch folder -----------------------------------------------

using snapshot = std::map<std::string, entry>;

std::string read_file(const std::string& path)
{
    std::string s;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

snapshot look(const std::string& dir)
{
    snapshot s;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return s;
    while (dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        entry& e = s[name];
        e.k = S_ISDIR(st.st_mode) ? kind::dir : S_ISLNK(st.st_mode) ? kind::link : kind::file;
        if (S_ISREG(st.st_mode))
            e.mode = st.st_mode & 07777;
        // The results in full; of any other file, enough to see a change.
        if (S_ISLNK(st.st_mode)) {
            char target[256];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            e.text.assign(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if ((name == brell::RESULTS_FILE || name == LINK_TARGET) && S_ISREG(st.st_mode))
            e.text = read_file(path);
        else if (S_ISREG(st.st_mode))
            e.text = printf_string("%lld bytes, modified %lld.%09ld", static_cast<long long>(st.st_size),
                                   static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    }
    closedir(d);
    return s;
}

void remove_tree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        for (const auto& [name, e] : look(path))
            remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void clear(const std::string& dir)
{
    for (const auto& [name, e] : look(dir))
        remove_tree(dir + "/" + name);
}

void put(const std::string& dir, const char* name, const entry& e)
{
    std::string path = dir + "/" + name;
    if (e.k == kind::dir) {
        mkdir(path.c_str(), 0755);
    } else if (e.k == kind::link) {
        put(dir, LINK_TARGET, entry{kind::file, e.text, e.mode});
        if (symlink(LINK_TARGET, path.c_str()) != 0) {
            std::perror(path.c_str());
            std::abort();
        }
    } else if (e.k == kind::file) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(e.text.data(), 1, e.text.size(), f) != e.text.size() || std::fclose(f) != 0) {
            std::perror(path.c_str());
            std::abort();  // the harness itself is broken, not brell
        }
        if (e.mode)
            chmod(path.c_str(), e.mode);
    }
}

void prepare(const std::string& dir, const fuzz_case& c)
{
    clear(dir);
    put(dir, brell::NULLPROBS_FILE, c.null);
    put(dir, brell::WEIGHTS_FILE, c.weights);
    put(dir, brell::PROBS_FILE, c.probs);
    put(dir, brell::RESULTS_FILE, c.out);
}

// ---- One run ----------------------------------------------------------

struct outcome {
    int status = -1;
    std::string out;
    std::string escaped;  // an exception that left run_brell
};

outcome run_once(const std::string& dir, const std::vector<std::string>& words, int threads, brell::run_data& dat)
{
    std::vector<const char*> argv{PROGNAME};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    dat.dir = dir;
    dat.out = f;
    dat.threads = threads;
    outcome o;
    try {
        o.status = brell::run_brell(static_cast<int>(argv.size()) - 1, argv.data(), dat);
    } catch (const std::exception& x) {
        o.escaped = x.what();
    } catch (...) {
        o.escaped = "an exception of unknown type";
    }
    std::fclose(f);
    o.out.assign(buf, len);
    std::free(buf);
    return o;
}

std::string judge(const expectation& e, const command& cmd, const outcome& o, const brell::run_data& dat,
                  const snapshot& before, const snapshot& after)
{
    if (!o.escaped.empty())
        return "exception left run_brell: " + o.escaped;
    const bool ok = e.fails == stage::none;
    if (o.status != (ok ? 0 : 1))
        return printf_string("status %d, expected %d; printed ", o.status, ok ? 0 : 1) + shown(o.out);
    // A run that got as far as the searches: the readers' values, then the
    // searches' results.
    searched s;
    if (ok || e.fails == stage::results) {
        std::string why = judge_data(dat, e);
        if (!why.empty())
            return why;
        s = search_again(dat, cmd);
        if (!same_bits(dat.delta, s.delta) || !same_bits(dat.lod, s.lod))
            return "delta or LOD differ from a plain search of the same objective";
    }
    std::string why = judge_output(e, cmd, o.out, s);
    if (!why.empty())
        return why;

    // Results written through a link named brell.out land in its target.
    const std::string out = brell::RESULTS_FILE;
    const bool linked = before.count(out) && before.at(out).k == kind::link;
    const std::string results = linked ? LINK_TARGET : out;
    for (const auto& [name, ent] : after)
        if (name != results && !before.count(name))
            return "left behind: " + shown(name);
    for (const auto& [name, ent] : before) {
        if (name == results)
            continue;
        auto it = after.find(name);
        if (it == after.end() || !(it->second == ent))
            return "changed: " + shown(name);
    }
    auto was = before.find(results);
    auto now = after.find(results);
    if (!ok) {
        bool kept = was == before.end() ? now == after.end() : now != after.end() && now->second == was->second;
        if (kept)
            return "";
        return "a failed run changed " + results + ": now " + (now == after.end() ? "gone" : shown(now->second.text));
    }
    if (now == after.end() || now->second.k != kind::file)
        return "no " + results + " after a complete run";
    // New results get a new file's permissions; replaced ones keep theirs.
    const mode_t mask = umask(0);
    umask(mask);
    const unsigned mode = was != before.end() && was->second.k == kind::file ? was->second.mode : 0666 & ~mask;
    if (now->second.mode != mode)
        return printf_string("%s has mode %03o, expected %03o", results.c_str(), now->second.mode, mode);
    return judge_results(now->second.text, e.pos);
}

}  // namespace

harness::harness()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/brell-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    dir_ = tmpl;
}

harness::~harness()
{
    remove_tree(dir_);
}

verdict harness::run(std::string_view input)
{
    verdict v;
    fuzz_case c;
    if (input.size() > INPUT_CAP) {
        v.skipped = true;
        return v;
    }
    parse_case(input, c);
    if (c.words.size() > WORDS_CAP) {
        v.skipped = true;
        return v;
    }
    const command cmd = read_command(c.words);
    const expectation e = expect(c, cmd);
    // Only a run that gets as far as the searches can take long.
    if ((e.fails == stage::none || e.fails == stage::results) && too_costly(c, cmd)) {
        v.skipped = true;
        return v;
    }

    // A second thread takes part only in the reading of a probs.dat past one
    // block of lines, and in the phases after the readers when there is more
    // than one kindred or position to share.
    const bool reached = e.fails == stage::none || e.fails == stage::results;
    const bool threads_matter = (reached && (e.pos.size() > 1 || e.fam.size() > 1)) || c.probs.text.size() >= 65536;
    outcome first;
    std::string first_results;
    for (int threads = 1; threads <= (threads_matter ? 2 : 1); ++threads) {
        prepare(dir_, c);
        const snapshot before = look(dir_);
        brell::run_data dat;
        outcome o = run_once(dir_, c.words, threads, dat);
        const snapshot after = look(dir_);
        std::string why = judge(e, cmd, o, dat, before, after);
        if (!why.empty()) {
            v.violation = printf_string("%d thread(s): ", threads) + why;
            break;
        }
        auto res = after.find(c.out.k == kind::link ? LINK_TARGET : brell::RESULTS_FILE);
        std::string results = res == after.end() ? "" : res->second.text;
        if (threads == 1) {
            first = std::move(o);
            first_results = std::move(results);
        } else if (o.status != first.status || o.out != first.out || results != first_results) {
            v.violation = "two threads differ from one: printed " + shown(o.out) + " against " + shown(first.out) +
                          ", wrote " + shown(results) + " against " + shown(first_results);
        }
    }
    clear(dir_);
    return v;
}

}  // namespace brell_fuzz
