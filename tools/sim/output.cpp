#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include "sim.h"
#include "writers.h"

namespace sim {

std::string shortest(double v) { return linkage::shortest(v); }

namespace {

namespace fs = std::filesystem;

// A study file written through a large buffer into NAME.tmp and renamed
// over NAME only once complete, so a failed run never leaves a truncated
// file that brell would read without complaint.
class out_file {
public:
    explicit out_file(fs::path path) : path_(std::move(path)), tmp_(path_.string() + ".tmp"), buf_(1 << 20)
    {
        f_ = std::fopen(tmp_.c_str(), "wb");
        if (!f_)
            fail();
    }
    out_file(const out_file&) = delete;
    out_file& operator=(const out_file&) = delete;
    ~out_file()
    {
        if (f_)
            std::fclose(f_);
        if (!committed_)
            std::remove(tmp_.c_str());
    }

    void put(std::string_view s)
    {
        if (buf_.size() - used_ < s.size())
            flush();
        if (s.size() > buf_.size()) {
            write(s.data(), s.size());
            return;
        }
        std::memcpy(buf_.data() + used_, s.data(), s.size());
        used_ += s.size();
    }

    void put(char c)
    {
        if (used_ == buf_.size())
            flush();
        buf_[used_++] = c;
    }

    // Completes the file under its temporary name.
    void close()
    {
        flush();
        std::FILE* f = f_;
        f_ = nullptr;
        if (std::fclose(f) != 0)
            fail();
    }

    void commit()
    {
        std::error_code ec;
        fs::rename(tmp_, path_, ec);
        if (ec)
            throw error("cannot write " + path_.string() + ": " + ec.message());
        committed_ = true;
    }

private:
    void flush()
    {
        write(buf_.data(), used_);
        used_ = 0;
    }
    void write(const char* p, std::size_t n)
    {
        if (n && std::fwrite(p, 1, n, f_) != n)
            fail();
    }
    [[noreturn]] void fail() const
    {
        throw error("cannot write " + path_.string() + ": " + std::strerror(errno));
    }

    fs::path path_;
    std::string tmp_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
    std::FILE* f_ = nullptr;
    bool committed_ = false;
};

constexpr const char* LINKAGE_FILES[] = {"study.ped", "study.dat", "study.map", "study.freq"};
constexpr const char* PLINK_FILES[] = {"study.bed", "study.bim", "study.fam"};

struct outcome_text {
    std::vector<std::string> score;
    std::vector<std::string> nullprob;
};

}  // namespace

study_summary write_study(const options& opt)
{
    std::array<sibship, MAX_SIBS + 1> tables;
    std::array<outcome_text, MAX_SIBS + 1> text;
    for (int s = MIN_SIBS; s <= MAX_SIBS; ++s) {
        tables[s] = enumerate_sibship(s);
        for (std::size_t k = 0; k < tables[s].score.size(); ++k) {
            text[s].score.push_back(std::to_string(tables[s].score[k]));
            text[s].nullprob.push_back(shortest(tables[s].nullprob[k]));
        }
    }
    check_linear_delta(opt, tables);
    const map m = make_map(opt);
    std::vector<std::string> pos_text;
    for (double p : m.pos)
        pos_text.push_back(shortest(p));

    const fs::path dir(opt.out_dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir))
        throw error("cannot create directory " + opt.out_dir + (ec ? ": " + ec.message() : ": not a directory"));

    study_summary sum;
    sum.positions = static_cast<long>(m.pos.size());
    out_file nullprobs(dir / "nullprobs.dat");
    std::unique_ptr<out_file> weights;
    if (opt.write_weights)
        weights = std::make_unique<out_file>(dir / "weights.dat");
    out_file probs(dir / "probs.dat");

    linkage::study geno;
    std::vector<linkage::cluster> ld;
    if (opt.alleles > 0) {
        geno.pedigree_file = (dir / "study.ped").string();
        geno.markers = make_markers(opt, m);
        geno.families.reserve(static_cast<std::size_t>(opt.kindreds));
        ld = make_ld(opt, m);
    }

    kindred_sample ks;
    kindred_pedigree kp;
    for (long i = 0; i < opt.kindreds; ++i) {
        const std::string name = kindred_name(i, opt.kindreds);
        simulate_kindred(opt, tables, m, i, ks);
        if (opt.alleles > 0) {
            simulate_pedigree(opt, geno.markers, m, i, ks, kp, &ld);
            geno.families.push_back(std::move(kp.family));
        }
        const outcome_text& t = text[ks.sibs];
        const std::size_t nout = t.score.size();
        for (std::size_t k = 0; k < nout; ++k) {
            nullprobs.put(name);
            nullprobs.put(' ');
            nullprobs.put(t.nullprob[k]);
            nullprobs.put(' ');
            nullprobs.put(t.score[k]);
            nullprobs.put('\n');
        }
        if (weights) {
            weights->put(name);
            weights->put(' ');
            weights->put(shortest(kindred_weight(opt, ks.sibs)));
            weights->put('\n');
        }
        for (std::size_t p = 0; p < m.pos.size(); ++p) {
            const int seen = ks.observed[p];
            for (std::size_t k = 0; k < nout; ++k) {
                probs.put(name);
                probs.put(' ');
                probs.put(pos_text[p]);
                probs.put(' ');
                probs.put(t.score[k]);
                probs.put(' ');
                if (seen < 0)
                    probs.put(t.nullprob[k]);
                else
                    probs.put(static_cast<int>(k) == seen ? '1' : '0');
                probs.put('\n');
            }
        }
    }

    // Every file is complete before any replaces an earlier study's.
    nullprobs.close();
    if (weights)
        weights->close();
    probs.close();
    // The genotype files are renamed into place as soon as they are
    // complete, so they are written only once the rest is.
    if (opt.alleles > 0) {
        linkage::write_linkage(geno, (dir / "study.ped").string(), (dir / "study.dat").string(),
                               (dir / "study.map").string(), (dir / "study.freq").string());
        if (opt.plink)
            linkage::write_plink_binary(geno, (dir / "study").string());
    }
    nullprobs.commit();
    if (weights)
        weights->commit();
    probs.commit();
    sum.files = {"nullprobs.dat", "probs.dat"};
    if (weights) {
        sum.files.push_back("weights.dat");
    } else {
        // brell reads any weights.dat it finds; one left by an earlier
        // study would silently reweight this one.
        const fs::path stale = dir / "weights.dat";
        if (fs::exists(stale, ec)) {
            fs::remove(stale, ec);
            if (ec)
                throw error("cannot remove " + stale.string() + " left by an earlier run: " + ec.message());
            sum.removed_stale_weights = true;
        }
    }
    for (const char* f : LINKAGE_FILES)
        if (opt.alleles > 0)
            sum.files.push_back(f);
    for (const char* f : PLINK_FILES)
        if (opt.plink)
            sum.files.push_back(f);
    // brell-ibd would read genotypes of another study than the one beside them.
    auto remove_stale = [&](const char* name) {
        const fs::path stale = dir / name;
        if (!fs::exists(stale, ec))
            return;
        fs::remove(stale, ec);
        if (ec)
            throw error("cannot remove " + stale.string() + " left by an earlier run: " + ec.message());
        sum.removed_stale_genotypes.push_back(name);
    };
    if (opt.alleles == 0)
        for (const char* f : LINKAGE_FILES)
            remove_stale(f);
    if (!opt.plink)
        for (const char* f : PLINK_FILES)
            remove_stale(f);
    return sum;
}

}  // namespace sim
