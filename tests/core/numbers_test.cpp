#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "brell.h"

using brell::parse_number;

namespace {

TEST(ParseNumber, AcceptsEveryWholeScanfForm)
{
    struct { const char* text; double value; } cases[] = {
        {"0.25", 0.25}, {"+0.25", 0.25}, {"-.5", -0.5}, {"5.", 5.0}, {"1e5", 1e5}, {"1E-3", 1e-3},
        {"+.5e-3", 0.0005}, {"0x1.8p1", 3.0}, {"0X1P-2", 0.25}, {"0x.8p1", 1.0}, {"-0", -0.0},
        {"inf", INFINITY}, {"-Infinity", -INFINITY}, {"1e400", INFINITY}, {"1e-400", 0.0},
        {"4.9e-324", 4.9e-324},
    };
    for (const auto& c : cases) {
        double v = 0;
        ASSERT_TRUE(parse_number(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(std::signbit(v), std::signbit(c.value)) << c.text;
    }
    double v = 0;
    for (const char* text : {"nan", "NaN", "-nan"}) {
        ASSERT_TRUE(parse_number(text, v)) << text;
        EXPECT_TRUE(std::isnan(v));
        EXPECT_EQ(std::signbit(v), text[0] == '-');
    }
}

TEST(ParseNumber, RefusesPartsOfNumbers)
{
    for (const char* text : {"", "-", ".", "+", "e5", "1e", "1e+", "2.5x", "1,5", "0x", "0xp1", "infinit",
                             "nanx", "nan(1)", "1.2.3", "--1", "0x1p", "1 ", " 1"}) {
        double v = 0;
        EXPECT_FALSE(parse_number(text, v)) << '"' << text << '"';
    }
    double v = 0;
    EXPECT_FALSE(parse_number(std::string_view("1\0", 2), v));
}

// The fast path must give strtod's double for every decimal it takes.
TEST(ParseNumber, AgreesWithStrtodOnRandomDecimals)
{
    std::mt19937_64 rng(12345);
    const char digits[] = "0123456789";
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        if (rng() % 4 == 0)
            s += '-';
        int before = static_cast<int>(rng() % 20);
        for (int j = 0; j < before; ++j)
            s += digits[rng() % 10];
        if (rng() % 2) {
            s += '.';
            int after = static_cast<int>(rng() % 25);
            for (int j = 0; j < after; ++j)
                s += digits[rng() % 10];
        }
        if (rng() % 3 == 0) {
            s += (rng() % 2) ? 'e' : 'E';
            int r = static_cast<int>(rng() % 3);
            if (r)
                s += r == 1 ? '-' : '+';
            s += std::to_string(rng() % 330);
        }
        char* end = nullptr;
        double want = std::strtod(s.c_str(), &end);
        bool whole = end == s.c_str() + s.size() && end != s.c_str();
        double got = 0;
        ASSERT_EQ(parse_number(s, got), whole) << s;
        if (whole) {
            ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << s;
        }
    }
}

}  // namespace
