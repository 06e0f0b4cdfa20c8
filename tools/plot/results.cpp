#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "plot.h"

namespace brell_plot {

namespace {

constexpr int NCOLUMNS = 5;

std::string where(const std::string& name, long line)
{
    return name + " line " + std::to_string(line) + ": ";
}

// Whole token or nothing: "2.5x" is an error here, not 2.5.
bool to_double(const std::string& token, double& v)
{
    const char* s = token.c_str();
    if (std::isspace(static_cast<unsigned char>(*s)))
        return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s, &end);
    if (end == s || end != s + token.size())
        return false;
    // Overflow is refused; underflow to a tiny or zero value is not.
    return !(errno == ERANGE && std::isinf(v));
}

// Non-printable bytes would garble the message; show them as escapes.
std::string shown(const std::string& token)
{
    constexpr std::size_t MAXSHOWN = 40;
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < MAXSHOWN; ++i) {
        auto c = static_cast<unsigned char>(token[i]);
        if (c < 0x20 || c == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (token.size() > MAXSHOWN)
        out += "...";
    return out;
}

}  // namespace

std::vector<result_row> parse_results(std::istream& in, const std::string& name)
{
    std::vector<result_row> rows;
    std::string text;
    long lineno = 0;
    while (std::getline(in, text)) {
        ++lineno;
        std::vector<std::string> fields;
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            std::size_t start = i;
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            if (i > start)
                fields.push_back(text.substr(start, i - start));
        }
        if (fields.empty())
            continue;  // a blank line, e.g. at the end of an edited file
        if (fields.size() != NCOLUMNS)
            throw plot_error(where(name, lineno) + "expected " + std::to_string(NCOLUMNS) + " numbers, found " +
                             std::to_string(fields.size()) + " fields");
        double v[NCOLUMNS];
        for (int c = 0; c < NCOLUMNS; ++c)
            if (!to_double(fields[c], v[c]))
                throw plot_error(where(name, lineno) + "field " + std::to_string(c + 1) + " (" + shown(fields[c]) +
                                 ") is not a number");
        rows.push_back({v[0], v[1], v[2], v[3], v[4]});
    }
    if (in.bad())
        throw plot_error(name + ": could not be read");
    if (rows.empty())
        throw plot_error(name + ": no positions");
    return rows;
}

std::vector<result_row> read_results(const std::string& path)
{
    // A directory opens as a stream on Linux and only fails to read.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw plot_error(path + ": could not be opened (" + std::strerror(EISDIR) + ")");
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::string why = errno ? std::string(" (") + std::strerror(errno) + ")" : "";
        throw plot_error(path + ": could not be opened" + why);
    }
    return parse_results(in, path);
}

}  // namespace brell_plot
