// brell-scan: a lab's pedigree, genotype and map files in; a genome-wide
// linkage scan, with empirical significance from null replicates, out.
#include <cstdio>
#include <new>

#include "scan_tool.h"

int main(int argc, char* argv[])
{
    try {
        const scan::options o = scan::parse_options(argc, argv);
        if (o.ibd.help || o.ibd.version)
            return cli::print(o.ibd.help ? scan::usage_text() : cli::version_line(scan::PROGRAM));
        const int status = scan::run(o);
        return std::fflush(stdout) == 0 ? status : 1;
    } catch (const ibd::usage_error& e) {
        std::fputs(cli::usage_message(scan::PROGRAM, e.what()).c_str(), stderr);
    } catch (const linkage::input_error& e) {
        std::fprintf(stderr, "%s: %s\n", scan::PROGRAM, e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", scan::PROGRAM);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", scan::PROGRAM, e.what());
    }
    return 1;
}
