// brell: allele-sharing linkage analysis of kindreds.
//
// One run is a fixed sequence of phases over a run_data record; each phase
// reads what earlier phases left there and adds its own fields.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brell {

inline constexpr int MODEL_LIN = 1;
inline constexpr int MODEL_EXP = 2;
inline constexpr int SEARCH_GRID = 1;
inline constexpr int SEARCH_GSS = 2;

// Floor of a null sd, zero threshold of sums, objectives and grid LODs, and
// the golden-section stopping tolerance.
inline constexpr double TOL = 1e-8;
// Largest finite double: the start of every minimum search.
inline constexpr double BIG = 1.7976931348623157e308;

inline constexpr const char* NULLPROBS_FILE = "nullprobs.dat";
inline constexpr const char* WEIGHTS_FILE = "weights.dat";
inline constexpr const char* PROBS_FILE = "probs.dat";
inline constexpr const char* RESULTS_FILE = "brell.out";

// Leaves new elements uninitialised. The probability arrays, the largest of
// a run, are written whole by the reader; zero-filling them first would be a
// serial pass over all of that memory.
template <class T>
struct uninit_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = uninit_allocator<U>;
    };
    uninit_allocator() = default;
    template <class U>
    uninit_allocator(const uninit_allocator<U>&) noexcept
    {
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// One block of memory for the probability arrays of a whole study. Asked of
// the system in one piece, it can be backed by huge pages: faulting it in a
// small page at a time costs a large study a good part of its reading time.
// Memory is handed out in order, to any thread, and returned only with the
// whole block.
class prob_arena {
public:
    // Room for `pieces` arrays of `bytes` in all.
    prob_arena(std::size_t bytes, std::size_t pieces);
    ~prob_arena();
    prob_arena(const prob_arena&) = delete;
    prob_arena& operator=(const prob_arena&) = delete;

    void* take(std::size_t bytes);  // null once the block cannot hold it
    bool holds(const void* p) const;

private:
    char* base_ = nullptr;  // null: nothing could be had, every take fails
    std::size_t size_ = 0;
    std::atomic<std::size_t> used_{0};
    void* map_ = nullptr;
    std::size_t map_size_ = 0;
};

// An uninit_allocator that takes from an arena when it has one and the arena
// still has room. Moves carry the arena along; copies are made without it.
template <class T>
struct arena_allocator : uninit_allocator<T> {
    template <class U>
    struct rebind {
        using other = arena_allocator<U>;
    };
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    std::shared_ptr<prob_arena> arena;

    arena_allocator() = default;
    explicit arena_allocator(std::shared_ptr<prob_arena> a) noexcept : arena(std::move(a)) {}
    template <class U>
    arena_allocator(const arena_allocator<U>& o) noexcept : arena(o.arena)
    {
    }
    arena_allocator select_on_container_copy_construction() const { return {}; }

    T* allocate(std::size_t n)
    {
        if (arena && n <= std::numeric_limits<std::size_t>::max() / sizeof(T))
            if (void* p = arena->take(n * sizeof(T)))
                return static_cast<T*>(p);
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n)
    {
        if (!arena || !arena->holds(p))
            std::allocator<T>::deallocate(p, n);
    }
    template <class U>
    bool operator==(const arena_allocator<U>& o) const noexcept
    {
        return arena == o.arena;
    }
};
using prob_vector = std::vector<double, arena_allocator<double>>;

struct fam_record {
    std::string name;
    double mean = 0.0;
    double sd = 0.0;  // never below TOL once the null file is read
    double weight = 0.0;
    int nscores = 0;
    std::vector<double> score;
    std::vector<double> zscore;
    std::vector<double> nullprob;
    prob_vector prob;  // npos rows of nscores: prob[p * nscores + k]
    prob_vector npl;
    prob_vector wnpl;

    const double* prob_at(int p) const { return prob.data() + static_cast<std::size_t>(p) * nscores; }
};

struct run_data;

// Approximate exponential-model terms at recent deltas, one thread's (see
// exp_tables::approx_bound).
struct approx_cache {
    std::vector<double> x;                // per entry, its delta
    std::vector<unsigned long long> used;  // per entry, when last used; 0: never
    std::vector<char> ok;                 // per entry, whether its terms could be had
    std::vector<double> terms;            // per entry, exp_tables::work_size() doubles
    unsigned long long clock = 0;
};

// Exponential-model terms that depend only on delta and the kindred, worked
// out once per delta: kindreds alike in weight, standardised scores and null
// probabilities share one set of them, and deltas that every position
// evaluates (the grid, the first golden-section points) are tabled up front.
// The operations and their order are those of the plain objective, so every
// bit of the result is the same.
struct exp_tables {
    std::vector<int> set_of;                // per kindred
    std::vector<std::size_t> offset;        // per set, its first term; back(): terms per delta
    std::vector<const struct fam_record*> model;  // per set, one of its kindreds
    std::vector<double> set_size;           // per set, its number of kindreds
    std::vector<double> x;                  // the tabled deltas, by slot
    std::vector<double> terms;              // exp(delta * weight * zscore), slot by slot
    std::vector<double> terms_by_row;       // the same, row by row (slots padded to a batch)
    std::vector<double> s;                  // sum over kindreds of ln D, by slot

    exp_tables(const run_data& dat, const std::vector<double>& slots);
    // Terms, then one value per set, then approx_bound's sum of ln D and a
    // bound on the sum of its terms' magnitudes.
    std::size_t work_size() const { return offset.back() + model.size() + 2; }
    // Terms and the ln D sum at any delta; work holds work_size() doubles.
    double fill(const run_data& dat, double x, double* work) const;
    // Bounds that the objective at each tabled delta is sure to lie within,
    // from one logarithm of the product of the kindred terms instead of a
    // logarithm of each. known[j] is 0 where they cannot be had (a kindred
    // term that is not a positive normal number, a sum of ln D that is not
    // finite). Positions p0 .. p0 + np - 1 (np at most MAX_BOUND_POSITIONS)
    // at once, reading the table once: each array holds np * x.size()
    // values, position after position.
    void bounds(const run_data& dat, int p0, int np, double* lo, double* hi, char* known) const;
    static constexpr int MAX_BOUND_POSITIONS = 4;
    // The same at one delta, from its terms (as fill leaves them) and its
    // sum of ln D; false when there are none.
    bool bound_at(const run_data& dat, int p, const double* terms, double s, double& lo, double& hi) const;
    // Bounds at any delta with no call of the library's exponential: its
    // terms from exp_approx, whose error the bounds allow for. False where
    // they cannot be had: an argument beyond exp_approx's range, a
    // probability that is negative or not a number, a D or N sum far from
    // the normal range. The terms at x are kept in cache for other positions.
    // step: how deep in its search the delta lies; the first steps of
    // positions far apart still meet, so theirs are kept for all threads.
    bool approx_bound(const run_data& dat, int p, double x, int step, approx_cache& cache, double& lo,
                      double& hi) const;
    double approx_err = 0.0;  // what approx_bound allows for the approximate terms
    // Whether approx_bound pays: not where a few sets serve many kindreds,
    // as in sibship studies, whose exact terms cost little beside the sums.
    bool approx_pays = true;
    bool wide = false;        // approx_bound on AVX2 (where the CPU has it)

private:
    // Terms of the first golden-section steps, for every thread: by the
    // bits of their delta; null where they could not be had. Never removed.
    mutable std::mutex shared_mutex_;
    mutable std::unordered_map<std::uint64_t, std::unique_ptr<double[]>> shared_;
    mutable std::size_t shared_doubles_ = 0;
    const double* shared_terms(double x, bool& found) const;
    void share_terms(double x, const double* terms, bool ok) const;
};

// e[k] = exp(xw * z[k]) for k < n, each within 2^-46 relative of the exact
// exponential of that same product, vectorised, without the library; false
// when an argument is 512 or more in magnitude or not a number. avx2: in
// wider registers and with FMA, for CPUs that have both (has_avx2).
bool exp_approx(double xw, const double* z, int n, double* e, bool avx2);
bool has_avx2();

struct run_data {
    int search = -1;
    double dmin = 0.0;
    double dmax = 0.0;
    int numintervals = 0;
    // Linear model: the largest delta keeping every likelihood non-negative
    // (nan until the model sets it).
    double bound = std::numeric_limits<double>::quiet_NaN();
    int nfam = 0;
    std::vector<fam_record> fam;
    int npos = 0;
    std::vector<double> pos;
    std::vector<double> delta;
    std::vector<double> lod;
    std::vector<double> zlr;
    std::vector<double> npl_z;

    // Where the run happens, not what it computes.
    std::string dir;          // folder of the input and results files; empty: working directory
    std::FILE* out = stdout;  // every message of the run
    int threads = 1;          // workers for the position searches

    // Exponential-model terms shared by all positions (see exp_tables).
    std::shared_ptr<const exp_tables> exp_cache;
    // Where the per-position arrays of the kindreds live, when the reader
    // could size it (else they come from the heap).
    std::shared_ptr<prob_arena> arena;
    prob_vector position_array() const { return prob_vector(arena_allocator<double>(arena)); }

    std::string path(std::string_view name) const;
};

// A search and an objective meet only here: the search stores the trial
// delta in x, calls the objective, and reads its value from f.
struct eval_point {
    double x = 0.0;
    double f = 0.0;
    int slot = -1;             // which tabled delta x is, if any (see exp_tables)
    std::vector<double> work;  // the objective's own, one per thread
    approx_cache cache;        // the golden-section search's, one per thread
};

using objective = void (*)(const run_data&, eval_point&, int p);

// A fatal condition: its text is printed as it stands and the run exits 1.
struct run_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "Run-time error:  file (NAME) line N: REASON\n"
run_error input_error(const char* file, long line, const std::string& reason);
// "Run-time error:  file (NAME) could not be opened\n"
run_error open_error(const char* file);

// Lines of a text file of any length, read in large blocks. A line excludes
// its '\n'; a last line without one still counts.
class line_reader {
public:
    line_reader(std::FILE* f, const char* name);
    bool next(std::string_view& line);
    // Every complete line buffered, at least one (the last one may lack its
    // '\n' at the end of the file). The caller counts the lines of a block.
    bool next_block(std::string_view& block);
    long line_number() const { return lineno_; }

private:
    bool fill();

    std::FILE* f_;
    const char* name_;
    std::vector<char, uninit_allocator<char>> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    long lineno_ = 0;
};

// A fixed set of threads that run one job together, the caller among them
// as worker 0.
class worker_pool {
public:
    explicit worker_pool(int workers);
    ~worker_pool();
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;
    int size() const { return workers_; }
    // Runs job(t) for every worker t and returns when all are done; then
    // rethrows an exception that a job threw, the caller's own first.
    void run(const std::function<void(int)>& job);

private:
    struct shared;
    void start_worker(int t);
    int workers_;
    std::unique_ptr<shared> shared_;
    std::vector<std::thread> threads_;
};

// Splits at C white space; returns the number of fields, storing at most max.
int split_fields(std::string_view line, std::string_view* fields, int max);
// The C locale's isspace set; '\r' among it is what lets CRLF files read
// exactly like their Unix twins.
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
// Short decimals, nearly every field of a real file: when the digits form an
// integer below 2^53 and the power of ten is at most 22, both are exact
// doubles and one multiplication or division rounds correctly, giving
// exactly strtod's result. False leaves the token to parse_number.
bool short_decimal(const char* p, const char* end, double& v);
// True when the whole token is one number in a form scanf's %le accepts; v
// is then what strtod gives for it.
bool parse_number(std::string_view token, double& v);
// A token as it may appear in a message: cut when very long.
std::string quoted(std::string_view token);
// Shortest text that reads back as v.
std::string shortest(double v);
// Creates a new file beside path (path.tmpPID-N) for writing, its mode
// `mode` less the umask, as open(2) gives; returns the descriptor and its
// name in tmp, or -1 with errno set.
int open_beside(const std::string& path, std::string& tmp, unsigned mode = 0666);

// Driver and command line.
int run_brell(int argc, const char* const argv[], run_data& dat);
int check_main_args(int argc, const char* const argv[], std::FILE* out);
void print_usage(const char* progname, std::FILE* out);
int get_model(const char* arg);
void get_search(run_data& dat, int argc, const char* const argv[]);
// Command-line words read as scanf reads them, refusing values the run
// cannot use (not finite, beyond 32 bits).
bool word_to_double(const char* word, double& v);
bool word_to_int(const char* word, int& v);
int default_threads();

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;
file_ptr open_file(const run_data& dat, const char* name, const char* mode);
// As open_file, but a null pointer where open_file would stop the run.
file_ptr try_open(const run_data& dat, const char* name, const char* mode);

// Input files.
void process_nullprobs(run_data& dat);
void weights(run_data& dat);
void process_probs(run_data& dat);

// Kindred statistics.
void compute_fam_zscores(run_data& dat);
void compute_fam_npl(run_data& dat);
void compute_weighted_fam_npl(run_data& dat);

// Likelihood models.
void linear(run_data& dat);
double linear_bound(const run_data& dat);
void f1_linear(const run_data& dat, eval_point& pt, int p);
void exponential(run_data& dat);
void f1_exponential(const run_data& dat, eval_point& pt, int p);
void warn_negative_dmin(const run_data& dat);

// Maximisation. Messages of position p are appended to msgs, so that
// positions searched in parallel still print in position order.
void gss(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs);
void grid(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs);
// Positions p0 .. p1 - 1 by grid, msgs[i] taking the messages of p0 + i.
void grid_block(run_data& dat, int p0, int p1, objective f, eval_point& pt, std::string* msgs);
void search_positions(run_data& dat, objective f);
// The deltas that every position's search evaluates first, in slot order.
void gss_first_points(double a, double b, double out[4]);
double grid_point(const run_data& dat, int i);
std::vector<double> shared_deltas(const run_data& dat);

// Results.
void compute_final_stats(run_data& dat);
void report(const run_data& dat);

}  // namespace brell
