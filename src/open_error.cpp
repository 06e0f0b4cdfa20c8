#include "brell.h"

namespace brell {

run_error open_error(const char* file)
{
    return run_error(format("Run-time error:  file (%s) could not be opened\n", file));
}

}  // namespace brell
