#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "brell.h"

namespace brell {

namespace {

constexpr double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

bool short_decimal(const char* p, const char* end, double& v)
{
    bool negative = false;
    if (p != end && *p == '-') {
        negative = true;
        ++p;
    }
    std::uint64_t w = 0;
    int digits = 0;  // significant digits taken into w
    long exp10 = 0;
    bool any = false;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        any = true;
        if (w == 0 && *p == '0')
            continue;
        if (++digits > 19)
            return false;
        w = w * 10 + static_cast<unsigned>(*p - '0');
    }
    if (p != end && *p == '.') {
        for (++p; p != end && *p >= '0' && *p <= '9'; ++p) {
            any = true;
            --exp10;
            if (w == 0 && *p == '0')
                continue;
            if (++digits > 19)
                return false;
            w = w * 10 + static_cast<unsigned>(*p - '0');
        }
    }
    if (!any)
        return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool eneg = false;
        if (p != end && (*p == '-' || *p == '+'))
            eneg = *p++ == '-';
        if (p == end)
            return false;
        long e = 0;
        for (; p != end && *p >= '0' && *p <= '9'; ++p) {
            if (e > 10000)
                return false;
            e = e * 10 + (*p - '0');
        }
        exp10 += eneg ? -e : e;
    }
    if (p != end || w > (std::uint64_t{1} << 53))
        return false;
    double x = static_cast<double>(w);
    if (w != 0) {
        if (exp10 < -22 || exp10 > 22)
            return false;
        x = exp10 < 0 ? x / POW10[-exp10] : x * POW10[exp10];
    }
    v = negative ? -x : x;
    return true;
}

namespace {

// Other plain decimals: from_chars reads them exactly as strtod does.
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
    if (short_decimal(t.data(), t.data() + t.size(), v))
        return true;
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

// Control bytes are shown as \xHH: a NUL would end the message early, and
// others would garble the terminal.
std::string quoted(std::string_view token)
{
    constexpr std::size_t MAX = 40;
    std::string out = "'";
    for (char c : token.substr(0, MAX)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            out += format("\\x%02x", u);
        else
            out += c;
    }
    out += token.size() > MAX ? "...'" : "'";
    return out;
}

std::string shortest(double v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace brell
