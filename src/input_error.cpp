#include "brell.h"

namespace brell {

run_error input_error(const char* file, long line, const std::string& reason)
{
    return run_error(format("Run-time error:  file (%s) line %ld: ", file, line) + reason + "\n");
}

}  // namespace brell
