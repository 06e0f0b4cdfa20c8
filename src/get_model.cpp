#include <cstring>

#include "brell.h"

namespace brell {

// Only the first three characters count, so "Linear" and "expo" are models.
int get_model(const char* arg)
{
    if (!std::strncmp(arg, "LIN", 3) || !std::strncmp(arg, "lin", 3) || !std::strncmp(arg, "Lin", 3))
        return MODEL_LIN;
    if (!std::strncmp(arg, "EXP", 3) || !std::strncmp(arg, "exp", 3) || !std::strncmp(arg, "Exp", 3))
        return MODEL_EXP;
    return -1;
}

}  // namespace brell
