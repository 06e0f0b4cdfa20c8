// brell-scan takes only replicates of the study as it analyses it, scanned
// as it scans; its output folder holds its own results and nothing older;
// a refusal, an interrupt or a second run leaves the folder as it was.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "brell.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using simtest::run_in;
using simtest::slurp;

const std::string SCAN = BRELL_SCAN_BIN;
const std::string SIM = BRELL_SIM_BIN;
const std::string EXAMPLE = std::string(BRELL_SOURCE_DIR) + "/examples/ibd/study";
const std::string STUDY = " -p " + EXAMPLE + ".ped -d " + EXAMPLE + ".dat -m " + EXAMPLE + ".map";

// Every entry below dir, hidden ones too, with its mode and content (taken
// again if something goes while it is taken).
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    for (;;) {
        std::map<std::string, std::string> out;
        std::error_code ec;
        for (fs::recursive_directory_iterator e(dir, ec), end; !ec && e != end; e.increment(ec)) {
            struct stat st;
            if (::lstat(e->path().c_str(), &st) == 0)
                out[fs::relative(e->path(), dir).string()] =
                    std::to_string(st.st_mode) + (S_ISREG(st.st_mode) ? ":" + slurp(e->path()) : std::string());
        }
        if (!ec)
            return out;
    }
}

// The entries that differ between two snapshots, by name.
std::string changed(const std::map<std::string, std::string>& now, const std::map<std::string, std::string>& was)
{
    std::string out;
    for (const auto& [name, v] : now)
        if (!was.count(name) || was.at(name) != v)
            out += (was.count(name) ? " changed " : " new ") + name;
    for (const auto& [name, v] : was)
        if (!now.count(name))
            out += " gone " + name;
    return out;
}

void copy_replicate(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void edit(const fs::path& file, const std::string& pattern, const std::string& by)
{
    const std::string text = std::regex_replace(slurp(file), std::regex(pattern), by);
    std::ofstream(file) << text;
}

// Replicates of the example study and an earlier scan's results, shared by
// the tests of this file.
class Replicates : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new simtest::temp_dir("scan-replicates");
        ASSERT_EQ(run_in(path(), SIM + " --drop" + STUDY + " --replicates 20 --seed 1 -o reps").status, 0);
    }
    static void TearDownTestSuite() { delete dir_; }
    static const fs::path& path() { return dir_->path(); }

private:
    static simtest::temp_dir* dir_;
};
simtest::temp_dir* Replicates::dir_ = nullptr;

// Each mismatch is refused, naming the replicate and what differs, and the
// earlier results stay exactly as they were.
TEST_F(Replicates, MismatchesAreRefusedByNameAndLeaveTheResultsAlone)
{
    const fs::path& d = path();
    ASSERT_EQ(run_in(d, SCAN + STUDY + " --replicates reps -o out --quiet").status, 0);
    const auto before = snapshot(d / "out");

    // Replicates of the study less its last family, and with a marker moved.
    std::ofstream(d / "minus.ped") << std::regex_replace(slurp(EXAMPLE + ".ped"), std::regex("F40 [^\n]*\n"), "");
    std::ofstream(d / "moved.map") << std::regex_replace(slurp(EXAMPLE + ".map"), std::regex(" 45\n"), " 46\n");
    const std::string dat = " -d " + EXAMPLE + ".dat";
    ASSERT_EQ(run_in(d, SIM + " --drop -p minus.ped" + dat + " -m " + EXAMPLE + ".map --replicates 2 -o minus").status,
              0);
    ASSERT_EQ(run_in(d, SIM + " --drop -p " + EXAMPLE + ".ped" + dat + " -m moved.map --replicates 2 -o moved").status,
              0);
    // Replicate folders put together by hand.
    const fs::path one = d / "reps/rep000001";
    copy_replicate(one, d / "dup/rep000001");
    copy_replicate(one, d / "dup/rep1");
    copy_replicate(one, d / "twice/rep000001");
    copy_replicate(one, d / "twice/rep000002");
    copy_replicate(one, d / "old/rep000001");
    fs::remove(d / "old/rep000001/manifest.tsv");
    copy_replicate(one, d / "edited/rep000001");
    edit(d / "edited/rep000001/study.ped", "^(F01 1 0 0 1) 0", "$1 2");
    // Results gathered: of other settings, of another replicate, not finite.
    for (const char* g : {"settings", "other", "nan", "inf"})
        copy_replicate(one, d / g / "rep000001");
    ASSERT_EQ(run_in(d, SCAN + STUDY + " --scan-replicate settings/rep000001 --step 1 --score pairs").status, 0);
    ASSERT_EQ(run_in(d, SCAN + STUDY + " --scan-replicate reps/rep000002").status, 0);
    fs::copy(d / "reps/rep000002/scan-result.tsv", d / "other/rep000001/");
    for (const char* g : {"nan", "inf"})
        ASSERT_EQ(run_in(d, SCAN + STUDY + " --scan-replicate " + g + "/rep000001").status, 0);
    edit(d / "nan/rep000001/scan-result.tsv", "\nLIN\tmax\t[^\t]*", "\nLIN\tmax\tNaN");
    edit(d / "inf/rep000001/scan-result.tsv", "\nLIN\tmax\t[^\t]*", "\nLIN\tmax\tInf");

    // A cluster of one marker is the marker alone, but a model all the same.
    std::ofstream(d / "one.txt") << "CLUSTER M1\n";

    const std::pair<std::string, std::string> cases[] = {
        {"--replicates reps --clusters one.txt", "brell-scan: reps/rep000001: not a replicate of this study as "
                                                 "analysed: the LD cluster model differs\n"},
        {"--replicates minus", "brell-scan: minus/rep000001: not a replicate of this study as analysed: the pedigrees "
                               "differ (replicate: 39 families; study: 40 families); the allele frequencies differ\n"},
        {"--replicates moved", "brell-scan: moved/rep000001: not a replicate of this study as analysed: the map "
                               "differs\n"},
        {"--scan-replicate moved/rep000002", "brell-scan: moved/rep000002: not a replicate of this study as "
                                             "analysed: the map differs\n"},
        {"--replicates dup", "brell-scan: dup: rep000001 and rep1 are both replicate 1\n"},
        {"--replicates twice", "brell-scan: twice/rep000002: the same draw as twice/rep000001 (replicate 1 of "
                               "seed 1): a replicate counted twice\n"},
        {"--replicates old", "brell-scan: old/rep000001: no manifest.tsv: not a replicate made by brell-sim --drop"},
        {"--replicates edited", "brell-scan: edited/rep000001: its files are not the replicate its manifest "
                                "describes: the affection status differs\n"},
        {"--replicates settings --gather",
         "brell-scan: settings/rep000001/scan-result.tsv: scanned with other settings: --score pairs --step 1 (this "
         "scan: --score all --step 0)\n"},
        {"--replicates other --gather", "brell-scan: other/rep000001/scan-result.tsv: a scan of replicate 2 of "
                                        "seed 1, not of this folder's replicate 1 of seed 1\n"},
        {"--replicates nan --gather",
         "brell-scan: nan/rep000001/scan-result.tsv: no finite LOD under LIN (a replicate without one cannot count "
         "as a scan)\n"},
        {"--replicates inf --gather", "brell-scan: inf/rep000001/scan-result.tsv: its LIN maximum LOD is Inf\n"},
        {"--replicates nowhere", "brell-scan: nowhere: no such folder"},
        {"--grid 1 0 10", "brell-scan: --grid: DMIN 1 is not below DMAX 0 (see --help)\n"},
        {"--grid a b c", "brell-scan: --grid: DMIN 'a' is not a finite number (see --help)\n"},
        {"--model EXP --grid -1 1 1.5", "brell-scan: --grid: N '1.5' is not a whole number of intervals"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const auto r = run_in(d, SCAN + STUDY + " -o out --quiet " + args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(0, message.size()), message);
        EXPECT_EQ(changed(snapshot(d / "out"), before), "");
    }
    EXPECT_FALSE(fs::exists(d / "moved/rep000002/scan-result.tsv"));
    // Nothing is made for a refused run into a new folder either.
    EXPECT_EQ(run_in(d, SCAN + STUDY + " -o new/out --replicates moved").status, 1);
    EXPECT_FALSE(fs::exists(d / "new"));
}

// A rerun replaces every file of the earlier one and leaves none that it did
// not write; a user's own files stay. An interrupted run, or one that finds
// the folder in use, changes nothing.
TEST_F(Replicates, OutputsAreTheRunsOwn)
{
    const fs::path& d = path();
    const fs::path out = d / "own";
    ASSERT_EQ(run_in(d, SCAN + STUDY + " --model both --replicates reps -o own --quiet").status, 0);
    std::ofstream(out / "notes.txt") << "mine";
    std::ofstream(out / "chr1/mine.txt") << "mine";
    fs::create_directories(out / "chr9");
    std::ofstream(out / "chr9/lin.out") << "old";
    fs::create_directories(out / ".replicate-work/w0");  // of an earlier version, stopped
    std::ofstream(out / "scan.png.tmp") << "old";
    auto r = run_in(d, SCAN + STUDY + " --model EXP -o own --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(out))
        names.insert(fs::relative(e.path(), out).string());
    std::set<std::string> expected = {"notes.txt",   "chr1",           "chr1/mine.txt", "chr1/exp.out",
                                      "chr1/exp.log", "chr1/markers.tsv", "chr1/probs.dat", "chr1/nullprobs.dat",
                                      "scan.tsv",    "scan.svg"};
    if (fs::exists(out / "scan.png"))  // where rsvg-convert is installed
        expected.insert("scan.png");
    EXPECT_EQ(names, expected);
    const std::string head = "chromosome\tposition\tmarker\tinformation\texp_npl_z\texp_zlr\texp_lod\texp_delta\n";
    EXPECT_EQ(slurp(out / "scan.tsv").substr(0, head.size()), head);

    const auto before = snapshot(out);
    // Held by another run: refused at once.
    const int fd = ::open((out / ".brell-scan.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    r = run_in(d, SCAN + STUDY + " -o own --replicates reps");
    ::close(fd);
    fs::remove(out / ".brell-scan.lock");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brell-scan: own: another brell-scan is writing its results there (it holds "
                     "own/.brell-scan.lock); wait for it to end, or choose another folder\n");
    EXPECT_EQ(changed(snapshot(out), before), "");

    // Stopped once its work has begun.
    for (int sig : {SIGINT, SIGTERM}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::chdir(d.c_str());
            ::execl("/bin/sh", "sh", "-c", ("exec " + SCAN + STUDY + " --model both --replicates reps -o own --quiet "
                                            ">/dev/null 2>&1")
                                               .c_str(),
                    nullptr);
            ::_exit(127);
        }
        bool begun = false;
        for (int i = 0; i < 2000 && !begun; ++i) {
            for (const auto& e : fs::directory_iterator(out))
                begun = begun || e.path().filename().string().starts_with(".brell-scan-stage");
            if (!begun)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::kill(pid, sig);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(begun);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        // Its stage goes just after it, once no thread of it can write there.
        for (int i = 0; i < 500 && !changed(snapshot(out), before).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(changed(snapshot(out), before), "") << "signal " << sig;
    }
}

// Results are made with the process's umask, whatever the threads do at the
// same time: never a mode wider than it allows. (Threads that set the umask
// to read it, each to 0 and back, could leave it 0 for good.)
TEST_F(Replicates, EveryFileTakesTheUmask)
{
    const fs::path& d = path();
    // The files of brell and brell-ibd, made by many threads at once.
    {
        const mode_t mask = ::umask(027);
        fs::create_directories(d / "many");
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 500; ++i) {
                    std::string tmp;
                    const int fd = brell::open_beside((d / "many" / std::to_string(t)).string(), tmp);
                    if (fd >= 0)
                        ::close(fd);
                }
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(::umask(mask), 027);
        for (const auto& e : fs::directory_iterator(d / "many")) {
            struct stat st;
            ::lstat(e.path().c_str(), &st);
            ASSERT_EQ(st.st_mode & 07777, 0640) << e.path();
        }
        ASSERT_EQ(std::distance(fs::directory_iterator(d / "many"), fs::directory_iterator()), 4000);
    }
    for (const auto& [mask, replicates, runs] : {std::tuple{"022", 60, 3}, {"077", 30, 1}}) {
        const mode_t m = static_cast<mode_t>(std::stoi(mask, nullptr, 8));
        const std::string reps = std::string("reps") + mask;
        ASSERT_EQ(run_in(d, std::string("umask ") + mask + " && " + SIM + " --drop" + STUDY + " --replicates " +
                                std::to_string(replicates) + " --seed 2 -o " + reps)
                      .status,
                  0);
        for (int run = 0; run < runs; ++run) {
            const std::string out = "modes" + std::string(mask) + "/" + std::to_string(run);
            ASSERT_EQ(run_in(d, std::string("umask ") + mask + " && " + SCAN + STUDY + " --model both --threads 2 " +
                                    "--replicates " + reps + " -o " + out + " --quiet")
                          .status,
                      0);
            for (const fs::path& top : {d / out, d / reps})
                for (const auto& e : fs::recursive_directory_iterator(top)) {
                    struct stat st;
                    ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
                    const mode_t want = (S_ISDIR(st.st_mode) ? 0777 : 0666) & ~m;
                    EXPECT_EQ(st.st_mode & 07777, want) << e.path() << " under umask " << mask;
                }
        }
    }
}

}  // namespace
