#include <algorithm>
#include <climits>
#include <cstring>
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

enum class line_kind { blank, row, bad };

// Identifier, position, a number that is checked but not used, probability.
line_kind parse_line(std::string_view line, prob_row& row, std::string& reason)
{
    std::string_view field[4];
    int n = split_fields(line, field, 4);
    if (n == 0)
        return line_kind::blank;
    if (n != 4) {
        reason = format("expected 4 fields, found %d", n);
        return line_kind::bad;
    }
    double skipped = 0.0;
    double* value[4] = {nullptr, &row.pos, &skipped, &row.prob};
    for (int j = 1; j < 4; ++j) {
        if (!parse_number(field[j], *value[j])) {
            reason = quoted(field[j]) + " is not a number";
            return line_kind::bad;
        }
    }
    row.id = field[0];
    return line_kind::row;
}

// The common row, read in one pass: an identifier and three short decimals
// separated by spaces or tabs. Returns where the next line starts, or null
// when the line needs parse_line (blanks, other number forms, errors).
const char* fast_row(const char* p, const char* end, prob_row& row)
{
    const char* q = p;
    while (q < end && !is_blank(*q))
        ++q;
    if (q == p)
        return nullptr;
    row.id = std::string_view(p, static_cast<std::size_t>(q - p));
    double skipped;
    double* value[3] = {&row.pos, &skipped, &row.prob};
    for (double* v : value) {
        if (q == end || (*q != ' ' && *q != '\t'))
            return nullptr;
        while (q < end && (*q == ' ' || *q == '\t'))
            ++q;
        const char* t = q;
        while (q < end && !is_blank(*q))
            ++q;
        if (!short_decimal(t, q, *v))
            return nullptr;
    }
    if (q < end && *q == '\r')
        ++q;
    if (q == end)
        return q;
    return *q == '\n' ? q + 1 : nullptr;
}

// Map positions are told apart by exact comparison; a not-a-number position
// can only be matched by another.
bool same_position(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

std::string wrong_kindred(const fam_record& want, std::string_view found)
{
    return "expected kindred " + quoted(want.name) + ", found " + quoted(found);
}

std::string wrong_position(double want, double found)
{
    return "expected position " + shortest(want) + ", found " + shortest(found);
}

std::string extra_row(unsigned long long total)
{
    return format("more rows than the expected %llu", total);
}

std::string ends_early(unsigned long long total, unsigned long long found)
{
    return format("file ends early: expected %llu rows, found %llu", total, found);
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

// Rows after the first kindred's block: each row's place in the file fixes
// its kindred, position and outcome, so blocks of lines are split among the
// workers once each worker's first row is known.
class rest_loader {
public:
    rest_loader(run_data& dat, unsigned long long total, bool grow) : dat_(dat), total_(total), grow_(grow)
    {
        unsigned long long at = 0;
        for (const fam_record& r : dat.fam) {
            start_.push_back(at);
            at += static_cast<unsigned long long>(dat.npos) * static_cast<unsigned long long>(r.nscores);
        }
    }

    struct chunk {
        std::string_view text;
        unsigned long long first_row = 0;
        long first_line = 0;
        unsigned long long rows = 0;
        long lines = 0;
        long error_line = 0;  // 0: none
        std::string error;
    };

    // Nearly always every line starts with its identifier, so that the rows
    // are the line ends: those are counted sixteen bytes at a time, and any
    // line that starts with a blank (a blank line, perhaps) sends the chunk
    // to the line-by-line count.
    static void count(chunk& c)
    {
        if (!count_line_ends(c))
            count_lines(c);
    }

    static bool count_line_ends(chunk& c)
    {
        typedef unsigned char v16 __attribute__((vector_size(16)));
        const char* t = c.text.data();
        const std::size_t n = c.text.size();
        if (n == 0 || is_blank(t[0]))
            return n == 0 ? (c.rows = 0, c.lines = 0, true) : false;
        unsigned long long ends = 0;
        v16 bad{};
        std::size_t i = 0;
        while (i + 16 < n) {
            v16 sum{};
            // At most 255 rounds before the byte counters are added up.
            for (int round = 0; round < 255 && i + 16 < n; ++round, i += 16) {
                v16 here, next;
                std::memcpy(&here, t + i, 16);
                std::memcpy(&next, t + i + 1, 16);
                const v16 end = (v16)(here == '\n');
                const v16 blank_next = (v16)((v16)(next - 9) <= 4) | (v16)(next == ' ');
                bad |= end & blank_next;
                sum -= end;
            }
            for (int b = 0; b < 16; ++b)
                ends += sum[b];
        }
        for (; i < n; ++i) {
            if (t[i] == '\n') {
                ++ends;
                if (i + 1 < n && is_blank(t[i + 1]))
                    return false;
            }
        }
        for (int b = 0; b < 16; ++b)
            if (bad[b])
                return false;
        c.lines = static_cast<long>(ends + (t[n - 1] != '\n'));
        c.rows = static_cast<unsigned long long>(c.lines);
        return true;
    }

    static void count_lines(chunk& c)
    {
        const char* p = c.text.data();
        const char* end = p + c.text.size();
        c.rows = 0;
        c.lines = 0;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            const char* stop = nl ? nl : end;
            const char* q = p;
            while (q < stop && is_blank(*q))
                ++q;
            c.rows += q < stop;
            ++c.lines;
            p = stop + 1;
        }
    }

    void load(chunk& c) const
    {
        const char* p = c.text.data();
        const char* end = p + c.text.size();
        unsigned long long row_index = c.first_row;
        long line_no = c.first_line;
        std::size_t i = 0;
        std::size_t p_at = 0;
        int k = 0;
        bool placed = false;
        prob_row row;
        std::string reason;
        for (; p < end; ++line_no) {
            line_kind kind = line_kind::row;
            if (const char* next = fast_row(p, end, row)) {
                p = next;
            } else {
                const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                const char* stop = nl ? nl : end;
                kind = parse_line(std::string_view(p, static_cast<std::size_t>(stop - p)), row, reason);
                p = stop + 1;
            }
            if (kind == line_kind::blank)
                continue;
            if (row_index >= total_)
                return fail(c, line_no, extra_row(total_));
            if (kind == line_kind::bad)
                return fail(c, line_no, reason);
            if (!placed) {
                i = static_cast<std::size_t>(std::upper_bound(start_.begin(), start_.end(), row_index) - start_.begin()) - 1;
                unsigned long long within = row_index - start_[i];
                p_at = static_cast<std::size_t>(within / static_cast<unsigned long long>(dat_.fam[i].nscores));
                k = static_cast<int>(within % static_cast<unsigned long long>(dat_.fam[i].nscores));
                placed = true;
            }
            fam_record& r = dat_.fam[i];
            if (row.id != r.name)
                return fail(c, line_no, wrong_kindred(r, row.id));
            if (!same_position(row.pos, dat_.pos[p_at]))
                return fail(c, line_no, wrong_position(dat_.pos[p_at], row.pos));
            if (grow_)
                r.prob.push_back(row.prob);
            else
                r.prob[p_at * static_cast<std::size_t>(r.nscores) + static_cast<std::size_t>(k)] = row.prob;
            ++row_index;
            if (++k == r.nscores) {
                k = 0;
                if (++p_at == dat_.pos.size()) {
                    p_at = 0;
                    ++i;
                }
            }
        }
    }

private:
    static void fail(chunk& c, long line, std::string reason)
    {
        c.error_line = line;
        c.error = std::move(reason);
    }

    run_data& dat_;
    unsigned long long total_;
    bool grow_;
    std::vector<unsigned long long> start_;  // first row of each kindred
};

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
    prob_vector block_prob;
    std::vector<long> block_line;
    prob_row row;
    bool pending = false;  // the first line after the block has been read
    std::string pending_line;
    long pending_line_no = 0;
    std::string_view line;
    std::string reason;
    while (in.next(line)) {
        line_kind kind = parse_line(line, row, reason);
        if (kind == line_kind::blank)
            continue;
        if (kind == line_kind::bad)
            throw input_error(PROBS_FILE, in.line_number(), reason);
        if (block_pos.empty()) {
            if (row.id != first.name)
                throw input_error(PROBS_FILE, in.line_number(), wrong_kindred(first, row.id));
        } else if (row.id != first.name) {
            pending = true;
            pending_line = line;
            pending_line_no = in.line_number();
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
            throw input_error(PROBS_FILE, block_line[r], wrong_position(dat.pos[r / first.nscores], block_pos[r]));
    if (have0 > want0) {
        throw input_error(PROBS_FILE, block_line[want0],
                          dat.nfam == 1 ? extra_row(total) : wrong_kindred(dat.fam[1], first.name));
    }
    if (have0 < want0) {
        if (pending)
            throw input_error(PROBS_FILE, in.line_number(), wrong_kindred(first, row.id));
        throw input_error(PROBS_FILE, in.line_number() + 1, ends_early(total, have0));
    }
    block_line = {};
    block_pos = {};
    first.prob = std::move(block_prob);

    // Allocate the rest only when the file is large enough to hold it (every
    // row takes at least 7 bytes): a short file claiming a huge map fails on
    // its missing rows, not on memory. Such a file, or one whose size is
    // unknown, is read by one thread that grows each kindred's array.
    struct stat st;
    bool fits = fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode) &&
                mul_sat(total, 7) <= static_cast<unsigned long long>(st.st_size);
    // The block holds the other kindreds' probabilities and every kindred's
    // two score arrays.
    dat.arena.reset();
    if (fits) {
        const std::size_t rest = static_cast<std::size_t>(total) - want0;
        dat.arena = std::make_shared<prob_arena>((rest + 2 * npos * dat.fam.size()) * sizeof(double),
                                                 3 * dat.fam.size());
    }
    for (int i = 1; i < dat.nfam; ++i) {
        prob_vector& prob = dat.fam[i].prob;
        prob = dat.position_array();
        if (fits)
            prob.resize(npos * static_cast<std::size_t>(dat.fam[i].nscores));
    }

    rest_loader loader(dat, total, !fits);
    worker_pool pool(fits ? dat.threads : 1);
    std::vector<rest_loader::chunk> chunks(static_cast<std::size_t>(pool.size()));
    unsigned long long next_row = want0;
    long next_line = in.line_number() + 1;
    auto run_block = [&](std::string_view block, std::size_t parts) {
        // Cut at line ends into roughly equal parts.
        const char* p = block.data();
        const char* end = p + block.size();
        for (std::size_t t = 0; t < parts; ++t) {
            const char* stop = end;
            if (t + 1 < parts) {
                const char* aim = p + static_cast<std::size_t>(end - p) / (parts - t);
                const void* nl = aim < end ? std::memchr(aim, '\n', static_cast<std::size_t>(end - aim)) : nullptr;
                stop = nl ? static_cast<const char*>(nl) + 1 : end;
            }
            chunks[t] = rest_loader::chunk();
            chunks[t].text = std::string_view(p, static_cast<std::size_t>(stop - p));
            p = stop;
        }
        auto count = [&](int t) { rest_loader::count(chunks[static_cast<std::size_t>(t)]); };
        if (parts > 1)
            pool.run(count);
        else
            count(0);
        for (std::size_t t = 0; t < parts; ++t) {
            chunks[t].first_row = next_row;
            chunks[t].first_line = next_line;
            next_row += chunks[t].rows;
            next_line += chunks[t].lines;
        }
        auto load = [&](int t) { loader.load(chunks[static_cast<std::size_t>(t)]); };
        if (parts > 1)
            pool.run(load);
        else
            load(0);
        for (std::size_t t = 0; t < parts; ++t)
            if (chunks[t].error_line)
                throw input_error(PROBS_FILE, chunks[t].error_line, chunks[t].error);
    };
    if (pending) {
        // The line that ended the first block is read already: load it again.
        next_line = pending_line_no;
        run_block(pending_line, 1);
    }
    std::string_view block;
    while (in.next_block(block))
        run_block(block, block.size() < 65536 ? 1 : chunks.size());
    if (next_row < total)
        throw input_error(PROBS_FILE, next_line, ends_early(total, next_row));
}

}  // namespace brell
