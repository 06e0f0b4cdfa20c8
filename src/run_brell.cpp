#include <new>

#include "brell.h"

namespace brell {

int run_brell(int argc, const char* const argv[], run_data& dat)
{
    const char* progname = argc > 0 && argv[0] ? argv[0] : "brell";
    try {
        if (check_main_args(argc, argv, dat.out)) {
            print_usage(progname, dat.out);
            return 1;
        }
        process_nullprobs(dat);
        weights(dat);
        process_probs(dat);
        compute_fam_zscores(dat);
        compute_fam_npl(dat);
        compute_weighted_fam_npl(dat);
        get_search(dat, argc, argv);
        switch (get_model(argv[1])) {
        case MODEL_LIN:
            linear(dat);
            break;
        case MODEL_EXP:
            exponential(dat);
            break;
        default:
            print_usage(progname, dat.out);
            return 1;
        }
        compute_final_stats(dat);
        report(dat);
        return 0;
    } catch (const run_error& e) {
        std::fputs(e.what(), dat.out);
        return 1;
    } catch (const std::bad_alloc&) {
        std::fputs("Run-time error:  out of memory\n", dat.out);
        return 1;
    }
}

}  // namespace brell
