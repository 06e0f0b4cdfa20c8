#include "command_line.h"

#include <cstdio>

namespace cli {

std::string usage_message(std::string_view program, std::string_view text)
{
    return std::string(program) + ": " + std::string(text) + " (see --help)\n";
}

std::string version_line(std::string_view program)
{
    return std::string(program) + " " + BRELL_VERSION + "\n";
}

int print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

void parser::add(std::string_view names, int count, std::function<void(const std::vector<std::string>&)> take)
{
    option o{{}, count, std::move(take)};
    for (std::size_t start = 0; start <= names.size();) {
        const std::size_t comma = names.find(',', start);
        o.names.emplace_back(names.substr(start, comma - start));
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    options_.push_back(std::move(o));
}

void parser::flag(std::string_view names, std::function<void()> take)
{
    add(names, 0, [take = std::move(take)](const std::vector<std::string>&) { take(); });
}

void parser::value(std::string_view names, take_value take)
{
    add(names, 1, [take = std::move(take)](const std::vector<std::string>& v) { take(v[0]); });
}

void parser::values(std::string_view names, int count, std::function<void(const std::vector<std::string>&)> take)
{
    add(names, count, std::move(take));
}

void parser::operands(take_value take) { operands_ = std::move(take); }

void parser::watch(std::function<void(const std::string&, const std::string&)> seen) { watch_ = std::move(seen); }

const parser::option* parser::find(std::string_view name) const
{
    for (const option& o : options_)
        for (const std::string& n : o.names)
            if (n == name)
                return &o;
    return nullptr;
}

// "-o --quiet" is an option left without its value far more often than an
// output folder named --quiet.
bool parser::names_option(std::string_view arg) const
{
    if (arg == "-h" || arg == "--help" || arg == "--version")
        return true;
    if (arg.starts_with("--"))
        arg = arg.substr(0, arg.find('='));
    return arg.size() > 1 && arg[0] == '-' && find(arg);
}

request parser::parse(int argc, const char* const argv[]) const
{
    bool only_operands = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool is_option = !only_operands && arg.size() > 1 && arg[0] == '-';
        if (!is_option || arg == "--") {
            if (!operands_)
                throw usage_error("unexpected argument '" + arg + "'");
            if (is_option)
                only_operands = true;
            else
                operands_(arg);
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return request::help;
        if (arg == "--version")
            return request::version;

        std::string typed = arg;
        std::vector<std::string> vals;
        const option* o = nullptr;
        if (arg.starts_with("--")) {
            if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
                typed = arg.substr(0, eq);
                vals.push_back(arg.substr(eq + 1));
            }
            o = find(typed);
        } else if (!(o = find(arg)) && arg.size() > 2) {
            // A short name with its value glued on.
            typed = arg.substr(0, 2);
            o = find(typed);
            if (o && o->count == 1)
                vals.push_back(arg.substr(2));
            else
                o = nullptr, typed = arg;
        }
        if (!o)
            throw usage_error("unknown option '" + typed + "'");
        if (o->count == 0 && !vals.empty())
            throw usage_error("option " + typed + " takes no value");
        while (static_cast<int>(vals.size()) < o->count) {
            if (i + 1 >= argc || names_option(argv[i + 1]))
                throw usage_error("option " + typed + " needs " +
                                  (o->count == 1 ? std::string("a value") : std::to_string(o->count) + " values"));
            vals.emplace_back(argv[++i]);
        }
        if (watch_)
            watch_(typed, o->long_name());
        o->take(vals);
    }
    return request::run;
}

}  // namespace cli
