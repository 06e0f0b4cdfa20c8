// The brell-plot executable: messages, exit statuses, what is left on disk,
// and figures that a real XML parser and a real SVG renderer accept.

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spill(const fs::path& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool have_tool(const char* path)
{
    return std::string(path).find("NOTFOUND") == std::string::npos && fs::exists(path);
}

class PlotCli : public testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "brell-plot-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs a command line in the test folder.
    outcome shell(const std::string& command)
    {
        std::string cmd = "cd " + quoted(dir.string()) + " && " + command + " >stdout.txt 2>stderr.txt";
        int rc = std::system(cmd.c_str());
        outcome o{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "stdout.txt"), slurp(dir / "stderr.txt")};
        fs::remove(dir / "stdout.txt");
        fs::remove(dir / "stderr.txt");
        return o;
    }
    outcome plot(const std::string& args) { return shell(quoted(BRELL_PLOT_BIN) + " " + args); }

    // Well-formed to an XML parser, and rendered by an SVG renderer to a PNG
    // of the figure's size.
    void expect_valid_figure(const std::string& name)
    {
        ASSERT_TRUE(have_tool(XMLLINT)) << "xmllint is needed (Debian package libxml2-utils)";
        ASSERT_TRUE(have_tool(RSVG_CONVERT)) << "rsvg-convert is needed (Debian package librsvg2-bin)";
        outcome x = shell(quoted(XMLLINT) + " --noout " + quoted(name));
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(x.err, "");
        outcome r = shell(quoted(RSVG_CONVERT) + " -o figure.png " + quoted(name));
        ASSERT_EQ(r.status, 0) << r.err;
        std::string png = slurp(dir / "figure.png");
        ASSERT_GT(png.size(), 24u);
        ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
        auto be32 = [&](std::size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(png[at])) << 24 |
                   static_cast<unsigned>(static_cast<unsigned char>(png[at + 1])) << 16 |
                   static_cast<unsigned>(static_cast<unsigned char>(png[at + 2])) << 8 |
                   static_cast<unsigned>(static_cast<unsigned char>(png[at + 3]));
        };
        std::string svg = slurp(dir / name);
        double width = 0, height = 0;
        ASSERT_EQ(std::sscanf(svg.c_str() + svg.find("<svg "), "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                                             "version=\"1.1\" width=\"%lf\" height=\"%lf\"",
                              &width, &height),
                  2);
        EXPECT_EQ(be32(16), static_cast<unsigned>(std::ceil(width)));
        EXPECT_EQ(be32(20), static_cast<unsigned>(std::ceil(height)));
        expect_coordinates_inside(svg, width, height);
    }

    // A renderer quietly drops a shape with a bad coordinate, so every
    // coordinate is checked to be a number inside the figure.
    static void expect_coordinates_inside(const std::string& svg, double width, double height)
    {
        static const std::set<std::string> coordinates = {"x", "y", "x1", "y1", "x2", "y2", "cx", "cy", "points"};
        std::size_t checked = 0;
        for (std::size_t eq = svg.find("=\""); eq != std::string::npos; eq = svg.find("=\"", eq + 1)) {
            std::size_t start = svg.find_last_of(" \n", eq) + 1;
            std::string name = svg.substr(start, eq - start);
            if (!coordinates.count(name))
                continue;
            std::size_t close = svg.find('"', eq + 2);
            ASSERT_NE(close, std::string::npos);
            std::string value = svg.substr(eq + 2, close - eq - 2);
            bool is_y = name[0] == 'y' || name == "cy";
            std::size_t at = 0;
            for (int n = 0; at < value.size(); ++n) {
                std::size_t stop = value.find_first_of(" ,", at);
                std::string word = value.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
                at = stop == std::string::npos ? value.size() : stop + 1;
                char* tail = nullptr;
                double v = std::strtod(word.c_str(), &tail);
                ASSERT_TRUE(!word.empty() && *tail == '\0' && std::isfinite(v)) << name << "=\"" << value << '"';
                double limit = (name == "points" ? n % 2 == 1 : is_y) ? height : width;
                EXPECT_TRUE(v >= 0 && v <= limit) << name << "=\"" << value << '"';
                ++checked;
            }
        }
        EXPECT_GT(checked, 0u);
    }

    fs::path dir;
};

const char* const PEAKED =
    " 0.00000e+00   1.00000e-01   5.00000e-01   5.43000e-02   2.00000e-02\n"
    " 5.00000e+00   1.20000e+00   2.32635e+00   1.17518e+00   2.00000e-01\n"
    " 1.00000e+01   2.00000e+00   3.09023e+00   2.07366e+00   3.00000e-01\n"
    " 1.50000e+01           nan          -nan           nan           nan\n"
    " 2.00000e+01   2.90000e+00   4.26489e+00   3.94975e+00   4.50000e-01\n"
    " 2.50000e+01   2.80000e+00  -1.95996e+00  -0.00000e+00  -1.00000e-01\n";

}  // namespace

TEST_F(PlotCli, SummaryOnStdoutFigureOnFile)
{
    spill(dir / "brell.out", PEAKED);
    outcome o = plot("brell.out");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    // Normal table: 1 - Phi(4.264891) = 1e-05.
    EXPECT_EQ(o.out,
              "brell.out: 6 positions\n"
              "  peak: position 20 cM, LOD 3.94975, Z 4.26489, p 1e-05, delta 0.45\n"
              "  LOD >= 1.9 (suggestive): 10 cM, 20 cM\n"
              "  LOD >= 3.3 (significant): 20 cM\n");
    expect_valid_figure("brell.svg");
}

TEST_F(PlotCli, LabelsOutputOptionAndStandardInput)
{
    spill(dir / "a.out", PEAKED);
    spill(dir / "b.out", "1 0 1 0.2 0.1\r\n2 0 2 2.5 0.3\r\n");
    outcome o =
        shell(std::string("cat b.out | ") + quoted(BRELL_PLOT_BIN) + " -o fig.svg --label=Linear a.out -lStdin -");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Linear (a.out): 6 positions\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\n\nStdin (-): 2 positions\n  peak: position 2 cM, LOD 2.5, Z 2, p 0.0227501, delta 0.3\n"),
              std::string::npos)
        << o.out;
    EXPECT_FALSE(fs::exists(dir / "brell.svg"));
    std::string svg = slurp(dir / "fig.svg");
    EXPECT_NE(svg.find(">Linear</text>"), std::string::npos);
    EXPECT_NE(svg.find(">Stdin</text>"), std::string::npos);
    expect_valid_figure("fig.svg");
}

TEST_F(PlotCli, BadFilesFailWithNameAndLineAndLeaveTheOldFigure)
{
    struct {
        const char* content;  // nullptr: no such file
        const char* message;
    } const cases[] = {
        {nullptr, "brell-plot: r.out: could not be opened (No such file or directory)\n"},
        {"", "brell-plot: r.out: no positions\n"},
        {"0 1 2 3 4\n5 6 7 8\n", "brell-plot: r.out line 2: expected 5 numbers, found 4 fields\n"},
        {"0 1 2 3 4\n\n5 6 7 8 x9\n", "brell-plot: r.out line 3: field 5 (x9) is not a number\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        spill(dir / "ok.out", PEAKED);
        spill(dir / "brell.svg", "old figure");
        fs::remove(dir / "r.out");
        if (c.content)
            spill(dir / "r.out", c.content);
        outcome o = plot("ok.out r.out");
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, c.message);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(slurp(dir / "brell.svg"), "old figure");
    }
    fs::create_directory(dir / "d.out");
    outcome o = plot("d.out");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "brell-plot: d.out: could not be opened (Is a directory)\n");
}

TEST_F(PlotCli, CommandLineErrorsAndHelp)
{
    spill(dir / "a.out", PEAKED);
    struct {
        const char* args;
        int status;
        const char* err_start;
    } const cases[] = {
        {"", 1, "brell-plot: no results file given (see --help)\n"},
        {"--bogus a.out", 1, "brell-plot: unknown option '--bogus' (see --help)\n"},
        {"a.out -o", 1, "brell-plot: option -o needs a value (see --help)\n"},
        {"-l A -l B a.out", 1, "brell-plot: more labels than results files (see --help)\n"},
        {"-o a.out a.out", 1, "brell-plot: a.out: is also the output file\n"},
        {"-o no/such/dir/f.svg a.out", 1, "brell-plot: no/such/dir/f.svg: could not be written ("},
        {"--help", 0, ""},
        {"-h a.out", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        outcome o = plot(c.args);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.err.substr(0, std::string(c.err_start).size()), c.err_start) << o.err;
        if (c.status == 0)
            EXPECT_EQ(o.out.substr(0, 19), "Usage: brell-plot [");
        else
            EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(slurp(dir / "a.out"), PEAKED);
    EXPECT_FALSE(fs::exists(dir / "brell.svg"));
}

TEST_F(PlotCli, AwkwardDataStillGivesAValidFigure)
{
    struct {
        const char* name;
        const char* content;
    } const cases[] = {
        {"all-nan", "0 nan nan nan nan\n1 nan nan nan nan\n"},
        {"one-row", "12.5 1 1 1 1\n"},
        {"nan-position", "nan 1 1 1 1\n1 1 1 1 1\n"},
        {"infinities", "0 inf inf inf -inf\n1 1 1 1 1\n2 -inf 0 -inf inf\n"},
        {"huge", "0 0 nan -7.80626e+307 0\n1e300 0 0 1.7976931348623157e308 -1.7976931348623157e308\n"},
        {"new-map", "0 0 0 1 0\n50 0 0 2 0\n0 0 0 3 0\n50 0 0 1 0\n"},
        {"flat-zero", "0 0 -0 -0 0\n10 0 -0 -0 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spill(dir / "r.out", c.content);
        outcome o = plot("-o f.svg r.out");
        ASSERT_EQ(o.status, 0) << o.err;
        expect_valid_figure("f.svg");
    }
}

TEST_F(PlotCli, ManyCurvesAndHostileLabelsGiveAValidFigure)
{
    std::string args = "-l '<&>\"'\\'' \xff\xfe label' -l 'd\xc3\xa9lta \x01' -l "
                       "'a label far longer than the legend has room for, by a good margin'";
    for (int i = 0; i < 11; ++i) {
        std::string name = "r" + std::to_string(i) + ".out";
        spill(dir / name, "0 0 0 " + std::to_string(i * 0.4) + " 0.1\n5 0 0 " + std::to_string(4 - i * 0.3) + " 0.2\n");
        args += " " + name;
    }
    outcome o = plot(args);
    ASSERT_EQ(o.status, 0) << o.err;
    expect_valid_figure("brell.svg");
}

namespace {

const char* const SCAN =
    "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\texp_npl_z\texp_zlr\t"
    "exp_lod\texp_delta\n"
    "1\t0\tD1S1\t0.91\t0.5\t0.7\t0.11\t0.05\t0.5\t0.8\t0.14\t0.1\n"
    "1\t2.5\t\t0.62\t1.9\t3.090232\t2.07366\t0.3\t1.9\t3.2\t2.2\t0.6\n"
    "1\t5\tD1S2\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\n"
    "2\t0\tD2S1\t0.8\t0.1\t0.2\t0.01\t0.01\t0.1\t0.2\t0.01\t0.02\n";

const char* const SIGNIFICANCE = "model\tkind\tid\tchromosome\tposition\tlod\tp\n"
                                 "LIN\treplicate\t1\t2\t0\t1.1\t\n"
                                 "LIN\tthreshold\tsignificant\t\t\t3.29\t\n"
                                 "LIN\tpeak\t1\t1\t2.5\t2.07366\t0.2\n";

}  // namespace

TEST_F(PlotCli, GenomeModeFigureAndSummary)
{
    spill(dir / "scan.tsv", SCAN);
    spill(dir / "sig.tsv", SIGNIFICANCE);
    outcome o = plot("--genome scan.tsv --significance=sig.tsv");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out.substr(0, o.out.find("\n\n")),
              "scan.tsv: 2 chromosomes, 4 positions, models LIN, EXP\nsig.tsv: 1 LIN replicate, 0 EXP replicates");
    EXPECT_NE(o.out.find("  1           2.5          2.07  0.300   0.001        0.2   0.4\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  LOD >= 3.29 (empirical 5% genome-wide): none\n"), std::string::npos) << o.out;
    expect_valid_figure("scan.svg");
    EXPECT_FALSE(fs::exists(dir / "brell.svg"));

    outcome in = shell("cat scan.tsv | " + quoted(BRELL_PLOT_BIN) + " --genome - -o g.svg");
    ASSERT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(in.out.substr(0, 34), "standard input: 2 chromosomes, 4 p");
    expect_valid_figure("g.svg");
}

TEST_F(PlotCli, AwkwardGenomeScansStillGiveValidFigures)
{
    const std::string head = "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\n";
    std::string many = head;
    for (int c = 1; c <= 40; ++c)
        many += std::to_string(c) + "\t0\t\t1\t0\t0\t" + std::to_string(c % 7) + "\t0\n" + std::to_string(c) +
                "\t" + std::to_string(c * 3) + "\t\t1\t0\t0\t1\t0\n";
    const std::string hostile_model =
        "chromosome\tposition\tmarker\tinformation\tl\xff<_npl_z\tl\xff<_zlr\tl\xff<_lod\tl\xff<_delta\n";
    struct {
        const char* name;
        std::string content;
        std::string sig = "";  // empty: none
    } const cases[] = {
        {"one position", head + "1\t12.5\tM\t1\t1\t1\t1\t1\n"},
        {"hostile model and threshold names", hostile_model + "1\t0\t\t1\t0\t0\t1\t0\n",
         "model\tkind\tid\tchromosome\tposition\tlod\tp\nL\xff<\tthreshold\t&\xc3\t\t\t2\t\n"},
        {"single-point chromosomes", head + "1\t0\t\t1\t0\t0\t1\t0\n2\t0\t\t1\t0\t0\t5\t0\n3\t7\t\t1\t0\t0\t2\t0\n"},
        {"all NaN", head + "1\t0\t\tNaN\tNaN\tNaN\tNaN\tNaN\n1\t1\t\tNaN\tNaN\tNaN\tNaN\tNaN\n"},
        {"infinities and negatives", head + "1\t0\t\tInf\tInf\tInf\tInf\t-Inf\n1\t1\t\t-2\t1\t1\t-40\t1\n"},
        {"huge map", head + "1\t-1.7976931348623157e308\t\t1\t0\t0\t1\t0\n1\t1.7976931348623157e308\t\t1\t0\t0\t2\t0\n"
                            "2\t0\t\t1\t0\t0\t3\t0\n2\t1e300\t\t1\t0\t0\t-7.8e307\t0\n"},
        {"hostile names", head + "<&>\"'\t0\t\xff\xfe\t1\t0\t0\t1\t0\nd\xc3\xa9lta \x01 a chromosome name far too long"
                                 "\t0\t<m>\t1\t0\t0\t2\t0\n"},
        {"many chromosomes", many},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spill(dir / "s.tsv", c.content);
        spill(dir / "g.tsv", c.sig);
        outcome o = plot("--genome s.tsv -o f.svg" + std::string(c.sig.empty() ? "" : " --significance g.tsv"));
        ASSERT_EQ(o.status, 0) << o.err;
        expect_valid_figure("f.svg");
    }
}

TEST_F(PlotCli, BadGenomeInputsFailWithNameAndLineAndLeaveTheOldFigure)
{
    const std::string head = "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\n";
    struct {
        const char* scan;  // nullptr: no such file
        const char* sig;   // nullptr: not given
        const char* message;
    } const cases[] = {
        {nullptr, nullptr, "brell-plot: s.tsv: could not be opened (No such file or directory)\n"},
        {"chromosome\tpos\n", nullptr, "brell-plot: s.tsv line 1: column 2 is 'pos', expected 'position'\n"},
        {"+1\t0\t\t1\t0\t0\t1\n", nullptr, "brell-plot: s.tsv line 2: expected 8 fields, found 7\n"},
        {"+1\t0\t\t1\t0\t0\t1\t0\n1\t1\t\t1\t0\t0\tabc\t0\n", nullptr,
         "brell-plot: s.tsv line 3: field 7 (abc) is not a number\n"},
        {"+1\t0\t\t1\t0\t0\t1\t0\n", "model\tkind\tid\tchromosome\tposition\tlod\tp\nLIN\tthreshold\tsuggestive\t\t\tx\t\n",
         "brell-plot: g.tsv line 2: field 6 (x) is not a number\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        spill(dir / "scan.svg", "old figure");
        fs::remove(dir / "s.tsv");
        if (c.scan)
            spill(dir / "s.tsv", c.scan[0] == '+' ? head + (c.scan + 1) : std::string(c.scan));
        std::string args = "--genome s.tsv";
        if (c.sig) {
            spill(dir / "g.tsv", c.sig);
            args += " --significance g.tsv";
        }
        outcome o = plot(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, c.message);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(slurp(dir / "scan.svg"), "old figure");
    }
}

TEST_F(PlotCli, GenomeCommandLineErrors)
{
    spill(dir / "s.tsv", SCAN);
    spill(dir / "a.out", PEAKED);
    struct {
        const char* args;
        const char* err_start;
    } const cases[] = {
        {"--genome s.tsv a.out", "brell-plot: results files cannot be given with --genome (see --help)\n"},
        {"--genome s.tsv -l A", "brell-plot: --label cannot be given with --genome (see --help)\n"},
        {"--significance s.tsv a.out", "brell-plot: --significance needs --genome (see --help)\n"},
        {"--genome ''", "brell-plot: empty scan file name (see --help)\n"},
        {"--genome - --significance -", "brell-plot: standard input cannot be read twice (see --help)\n"},
        {"--genomes s.tsv", "brell-plot: unknown option '--genomes' (see --help)\n"},
        {"--genome s.tsv -o s.tsv", "brell-plot: s.tsv: is also the output file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        outcome o = plot(c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err.substr(0, std::string(c.err_start).size()), c.err_start) << o.err;
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(slurp(dir / "s.tsv"), SCAN);
    EXPECT_FALSE(fs::exists(dir / "scan.svg"));
}
