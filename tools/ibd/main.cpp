// brell-ibd: pedigree, genotype and map files in, one folder per chromosome of
// the files brell reads out.
#include <chrono>
#include <cstdio>
#include <new>

#include "ibd_tool.h"

int main(int argc, char* argv[])
{
    const auto start = std::chrono::steady_clock::now();
    try {
        const ibd::options o = ibd::parse_options(argc, argv);
        if (o.help || o.version)
            return cli::print(o.help ? ibd::usage_text() : cli::version_line(ibd::PROGRAM));
        const linkage::study s = ibd::read_study(o);
        linkage::print_notes(s.notes, ibd::PROGRAM, stderr);
        const ibd::summary sum = ibd::run_ibd(o, s, stderr);
        if (!o.quiet)
            ibd::print_summary(sum, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                               stderr);
        return 0;
    } catch (const ibd::usage_error& e) {
        std::fputs(cli::usage_message(ibd::PROGRAM, e.what()).c_str(), stderr);
    } catch (const linkage::input_error& e) {
        std::fprintf(stderr, "%s: %s\n", ibd::PROGRAM, e.what());
    } catch (const ibd::error& e) {
        std::fprintf(stderr, "%s: %s\n", ibd::PROGRAM, e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", ibd::PROGRAM);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", ibd::PROGRAM, e.what());
    }
    return 1;
}
