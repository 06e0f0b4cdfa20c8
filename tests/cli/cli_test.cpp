// The command lines of the five programs: help, version and mistakes alike
// in every companion tool, brell's own as it always was; and the parser
// they share.
#include <gtest/gtest.h>

#include "command_line.h"
#include "scan_tool.h"
#include "sim.h"
#include "test_util.h"

namespace {

TEST(Tools, HelpVersionAndMistakesAlike)
{
    simtest::temp_dir d("cli");
    const std::string brell_usage = "Usage: " BRELL_BIN " LIN\n";
    const std::pair<std::string, std::string> tools[] = {
        {"brell-ibd", BRELL_IBD_BIN}, {"brell-scan", BRELL_SCAN_BIN}, {"brell-sim", BRELL_SIM_BIN},
        {"brell-plot", BRELL_PLOT_BIN}};
    for (const auto& [t, bin] : tools) {
        SCOPED_TRACE(t);
        const auto help = simtest::run_in(d.path(), bin + " --help");
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: " + t + " ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--version"), std::string::npos);
        EXPECT_EQ(help.err, "");
        struct {
            std::string args;
            int status;
            std::string out, err;
        } const cases[] = {
            {"-h", 0, help.out, ""},
            {"--version", 0, t + " " BRELL_VERSION "\n", ""},
            // Help and version end the command line where they stand.
            {"--version --frobnicate", 0, t + " " BRELL_VERSION "\n", ""},
            {"--frobnicate", 1, "", t + ": unknown option '--frobnicate' (see --help)\n"},
            {"--frobnicate=1 --help", 1, "", t + ": unknown option '--frobnicate' (see --help)\n"},
            {"-o", 1, "", t + ": option -o needs a value (see --help)\n"},
            {"--out", 1, "", t + (t == "brell-plot" ? ": unknown option '--out'" : ": option --out needs a value") +
                                 " (see --help)\n"},
            {"-o --version", 1, "", t + ": option -o needs a value (see --help)\n"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args);
            const auto r = simtest::run_in(d.path(), bin + " " + c.args);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, c.err);
        }
    }
    // brell's command line is its own: anything but its four shapes gives
    // the usage text on standard output and status 1.
    for (const char* args : {"--help", "-h", "--version", "--frobnicate", "LIN GRID 0 1"}) {
        SCOPED_TRACE(args);
        const auto r = simtest::run_in(d.path(), std::string(BRELL_BIN) + " " + args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.rfind(brell_usage, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// The model word as brell reads it: its first three letters.
TEST(Tools, ModelNamesAsBrellReadsThem)
{
    struct {
        const char* word;
        const char* model;  // nullptr: refused
    } const cases[] = {{"LIN", "LIN"},  {"lin", "LIN"},  {"Lin", "LIN"}, {"Linear", "LIN"}, {"EXP", "EXP"},
                       {"exp", "EXP"},  {"Exp", "EXP"},  {"expo", "EXP"}, {"lIN", nullptr},  {"li", nullptr},
                       {"quadratic", nullptr}, {"", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const char* scan_args[] = {"brell-scan", "--bfile", "x", "-o", "out", "--model", c.word};
        const char* sim_args[] = {"brell-sim", "--model", c.word};
        if (!c.model) {
            EXPECT_THROW(scan::parse_options(7, scan_args), cli::usage_error);
            EXPECT_THROW(sim::parse_options(3, sim_args), sim::error);
            continue;
        }
        EXPECT_EQ(scan::parse_options(7, scan_args).models, std::vector<std::string>{c.model});
        EXPECT_EQ(sim::parse_options(3, sim_args).model,
                  std::string(c.model) == "LIN" ? sim::model::linear : sim::model::exponential);
    }
}

// What the parser hands each option, or the mistake it names.
TEST(Parser, ValuesOperandsAndMistakes)
{
    struct {
        std::vector<const char*> args;
        bool operands;
        std::string taken;  // or the error's text
    } const cases[] = {
        {{"-o", "a", "--out=b", "-oc", "--out", "-0.5"}, false, "-o:a --out:b -o:c --out:-0.5"},
        {{"--grid", "-1", "2", "30", "-q"}, false, "--grid:-1,2,30 -q:"},
        {{"-", "x", "--", "-q", "--out"}, true, "=- =x =-q =--out"},
        {{"-q", "--help", "--bogus"}, false, "-q: help"},
        {{"--version"}, false, " version"},
        {{"--bogus", "--help"}, false, "unknown option '--bogus'"},
        {{"--bogus=1"}, false, "unknown option '--bogus'"},
        {{"-qx"}, false, "unknown option '-qx'"},
        {{"--ou", "a"}, false, "unknown option '--ou'"},
        {{"x"}, false, "unexpected argument 'x'"},
        {{"--"}, false, "unexpected argument '--'"},
        {{"-o"}, false, "option -o needs a value"},
        {{"--out", "--quiet"}, false, "option --out needs a value"},
        {{"-o", "--grid=1"}, false, "option -o needs a value"},
        {{"--grid", "1", "2"}, false, "option --grid needs 3 values"},
        {{"--quiet=yes"}, false, "option --quiet takes no value"},
    };
    for (const auto& c : cases) {
        std::string taken;
        auto log = [&](const std::string& s) { taken += (taken.empty() ? "" : " ") + s; };
        cli::parser p;
        std::string typed;
        p.watch([&](const std::string& t, const std::string&) { typed = t; });
        p.value("-o,--out", [&](const std::string& v) { log(typed + ":" + v); });
        p.values("--grid", 3, [&](const std::vector<std::string>& v) { log(typed + ":" + v[0] + "," + v[1] + "," + v[2]); });
        p.flag("-q,--quiet", [&] { log(typed + ":"); });
        if (c.operands)
            p.operands([&](const std::string& v) { log("=" + v); });
        std::vector<const char*> argv{"tool"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.taken);
        try {
            const cli::request r = p.parse(static_cast<int>(argv.size()), argv.data());
            if (r != cli::request::run)
                taken += r == cli::request::help ? " help" : " version";
            EXPECT_EQ(taken, c.taken);
        } catch (const cli::usage_error& e) {
            EXPECT_EQ(e.what(), c.taken);
        }
    }
}

}  // namespace
