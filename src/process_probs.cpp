#include <climits>
#include <cmath>
#include <sys/stat.h>

#include "brell.h"

namespace brell {

namespace {

struct prob_row {
    std::string_view id;
    double pos = 0.0;
    double prob = 0.0;
};

// Identifier, position, a number that is checked but not used, probability.
bool read_row(line_reader& in, prob_row& row)
{
    std::string_view line;
    std::string_view field[4];
    for (;;) {
        if (!in.next(line))
            return false;
        int n = split_fields(line, field, 4);
        if (n == 0)
            continue;
        if (n != 4)
            throw input_error(PROBS_FILE, in.line_number(), format("expected 4 fields, found %d", n));
        double skipped = 0.0;
        double* value[4] = {nullptr, &row.pos, &skipped, &row.prob};
        for (int j = 1; j < 4; ++j)
            if (!parse_number(field[j], *value[j]))
                throw input_error(PROBS_FILE, in.line_number(), quoted(field[j]) + " is not a number");
        row.id = field[0];
        return true;
    }
}

// Map positions are told apart by exact comparison; a not-a-number position
// can only be matched by another.
bool same_position(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

run_error wrong_kindred(long line, const fam_record& want, std::string_view found)
{
    return input_error(PROBS_FILE, line, "expected kindred " + quoted(want.name) + ", found " + quoted(found));
}

run_error wrong_position(long line, double want, double found)
{
    return input_error(PROBS_FILE, line, "expected position " + shortest(want) + ", found " + shortest(found));
}

run_error extra_row(long line, unsigned long long total)
{
    return input_error(PROBS_FILE, line, format("more rows than the expected %llu", total));
}

unsigned long long mul_sat(unsigned long long a, unsigned long long b)
{
    unsigned long long r;
    return __builtin_mul_overflow(a, b, &r) ? ULLONG_MAX : r;
}

unsigned long long add_sat(unsigned long long a, unsigned long long b)
{
    unsigned long long r;
    return __builtin_add_overflow(a, b, &r) ? ULLONG_MAX : r;
}

}  // namespace

// The map is the sequence of position changes along the first kindred's
// rows; every kindred must then list exactly npos x nscores rows, position by
// position, in the row order of the null file.
void process_probs(run_data& dat)
{
    file_ptr f = open_file(dat, PROBS_FILE, "r");
    line_reader in(f.get(), PROBS_FILE);
    fam_record& first = dat.fam.at(0);

    // The first kindred's block, held until its end fixes the map.
    std::vector<double> block_pos;
    std::vector<double> block_prob;
    std::vector<long> block_line;
    prob_row row;
    bool pending = false;  // row holds the first line after the block
    while (read_row(in, row)) {
        if (block_pos.empty()) {
            if (row.id != first.name)
                throw wrong_kindred(in.line_number(), first, row.id);
        } else if (row.id != first.name) {
            pending = true;
            break;
        }
        block_pos.push_back(row.pos);
        block_prob.push_back(row.prob);
        block_line.push_back(in.line_number());
    }
    if (block_pos.empty())
        throw input_error(PROBS_FILE, in.line_number() + 1, "no rows");

    dat.pos.clear();
    dat.pos.push_back(block_pos[0]);
    for (std::size_t r = 1; r < block_pos.size(); ++r)
        if (block_pos[r] != block_pos[r - 1])
            dat.pos.push_back(block_pos[r]);
    if (dat.pos.size() > static_cast<std::size_t>(INT_MAX))
        throw input_error(PROBS_FILE, block_line[0], "too many positions");
    dat.npos = static_cast<int>(dat.pos.size());
    const std::size_t npos = dat.pos.size();

    unsigned long long total = 0;
    for (const fam_record& r : dat.fam)
        total = add_sat(total, mul_sat(npos, static_cast<unsigned long long>(r.nscores)));

    const std::size_t want0 = npos * static_cast<std::size_t>(first.nscores);
    const std::size_t have0 = block_pos.size();
    for (std::size_t r = 0; r < std::min(want0, have0); ++r)
        if (!same_position(block_pos[r], dat.pos[r / first.nscores]))
            throw wrong_position(block_line[r], dat.pos[r / first.nscores], block_pos[r]);
    if (have0 > want0) {
        if (dat.nfam == 1)
            throw extra_row(block_line[want0], total);
        throw wrong_kindred(block_line[want0], dat.fam[1], first.name);
    }
    if (have0 < want0) {
        if (pending)
            throw wrong_kindred(in.line_number(), first, row.id);
        throw input_error(PROBS_FILE, in.line_number() + 1,
                          format("file ends early: expected %llu rows, found %zu", total, have0));
    }
    block_line = {};
    block_pos = {};
    first.prob = std::move(block_prob);

    // Reserve the rest only when the file is large enough to hold it (every
    // row takes at least 7 bytes): a short file claiming a huge map fails on
    // its missing rows, not on memory.
    struct stat st;
    bool fits = fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode) &&
                mul_sat(total, 7) <= static_cast<unsigned long long>(st.st_size);
    for (int i = 1; i < dat.nfam; ++i) {
        dat.fam[i].prob.clear();
        if (fits)
            dat.fam[i].prob.reserve(npos * static_cast<std::size_t>(dat.fam[i].nscores));
    }

    unsigned long long done = want0;
    for (int i = 1; i < dat.nfam; ++i) {
        fam_record& r = dat.fam[i];
        for (std::size_t p = 0; p < npos; ++p) {
            for (int k = 0; k < r.nscores; ++k) {
                if (!pending && !read_row(in, row))
                    throw input_error(PROBS_FILE, in.line_number() + 1,
                                      format("file ends early: expected %llu rows, found %llu", total, done));
                pending = false;
                if (row.id != r.name)
                    throw wrong_kindred(in.line_number(), r, row.id);
                if (!same_position(row.pos, dat.pos[p]))
                    throw wrong_position(in.line_number(), dat.pos[p], row.pos);
                r.prob.push_back(row.prob);
                ++done;
            }
        }
    }
    if (pending || read_row(in, row))
        throw extra_row(in.line_number(), total);
}

}  // namespace brell
