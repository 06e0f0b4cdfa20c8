#include <charconv>
#include <cstdlib>
#include <cstring>

#include "brell.h"

namespace brell {

namespace {

// Plain decimals are nearly every field of a real file; from_chars reads them
// exactly as strtod does, several times faster.
bool plain_decimal(std::string_view t)
{
    for (char c : t) {
        bool ok = (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
        if (!ok)
            return false;
    }
    return !t.empty() && t.front() != '+';
}

}  // namespace

bool parse_number(std::string_view t, double& v)
{
    if (plain_decimal(t)) {
        auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
        if (r.ec == std::errc() && r.ptr == t.data() + t.size())
            return true;
    }
    // Signs, hexadecimal, inf and nan, values out of range: strtod decides.
    // scanf reads "nan" but stops before a "(chars)" suffix, so such a token
    // is not one whole number.
    if (t.empty() || is_blank(t[0]) || t.find('(') != std::string_view::npos ||
        std::memchr(t.data(), '\0', t.size()))
        return false;
    std::string s(t);
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

std::string quoted(std::string_view token)
{
    constexpr std::size_t MAX = 40;
    if (token.size() <= MAX)
        return "'" + std::string(token) + "'";
    return "'" + std::string(token.substr(0, MAX)) + "...'";
}

std::string shortest(double v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace brell
