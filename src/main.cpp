#include "brell.h"

int main(int argc, char* argv[])
{
    brell::run_data dat;
    dat.threads = brell::default_threads();
    int status = brell::run_brell(argc, argv, dat);
    return std::fflush(stdout) == 0 ? status : 1;
}
