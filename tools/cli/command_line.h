// The companion tools' command lines, read one way: every tool takes -h,
// --help and --version, and words a mistake alike.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A command line that cannot be run; main prints usage_message(what()).
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "TOOL: TEXT (see --help)\n"
std::string usage_message(std::string_view program, std::string_view text);
// "TOOL VERSION\n", the project's version.
std::string version_line(std::string_view program);
// Help or the version on standard output: 0, or 1 when it cannot be written.
int print(const std::string& text);

// -h, --help and --version end the parse where they stand: what follows is
// not read, what came before was.
enum class request { run, help, version };

// Options are "-o,--out" (a short and a long name) or "--score". A value
// follows as the next argument, after '=' ("--out=DIR"), or glued to a
// short name ("-oDIR"); values are taken as typed, so "--delta -0.5" works.
// An option given twice keeps its last value, as its take() decides.
class parser {
public:
    using take_value = std::function<void(const std::string&)>;
    void flag(std::string_view names, std::function<void()> take);
    void value(std::string_view names, take_value take);
    void values(std::string_view names, int count, std::function<void(const std::vector<std::string>&)> take);
    // Arguments that are not options, "-" among them, and all after "--".
    // Without it they are refused.
    void operands(take_value take);
    // Called with each option as typed ("-p", "--out") and its long name,
    // before its take().
    void watch(std::function<void(const std::string& typed, const std::string& name)> seen);

    request parse(int argc, const char* const argv[]) const;

private:
    struct option {
        std::vector<std::string> names;
        int count;  // values
        std::function<void(const std::vector<std::string>&)> take;
        const std::string& long_name() const { return names.back(); }
    };
    void add(std::string_view names, int count, std::function<void(const std::vector<std::string>&)> take);
    const option* find(std::string_view name) const;
    bool names_option(std::string_view arg) const;

    std::vector<option> options_;
    take_value operands_;
    std::function<void(const std::string&, const std::string&)> watch_;
};

}  // namespace cli
