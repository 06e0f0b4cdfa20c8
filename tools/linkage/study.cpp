#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "study.h"

namespace linkage {

void print_notes(const std::vector<std::string>& notes, const char* program, std::FILE* out)
{
    for (const std::string& note : notes)
        std::fprintf(out, "%s: %s\n", program, visible(note).c_str());
}

std::string visible(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c == '\0')
            out += "\\0";
        else
            out += c;
    return out;
}

namespace {
std::string error_text(const std::string& file, long line, const std::string& reason)
{
    return visible(line > 0 ? file + " line " + std::to_string(line) + ": " + reason : file + ": " + reason);
}
}  // namespace

input_error::input_error(const std::string& f, long l, const std::string& r)
    : std::runtime_error(error_text(f, l, r)), file(f), line(l), reason(r)
{
}

// expm1 keeps the fraction exact to the last bits at small distances.
double haldane(double d_cm) { return -0.5 * std::expm1(-d_cm / 50.0); }

std::vector<chromosome> chromosomes(const study& s)
{
    std::vector<chromosome> out;
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const marker& mk = s.markers[m];
        auto [it, added] = index.try_emplace(mk.chrom, out.size());
        if (added)
            out.push_back({mk.chrom, mk.kind, {}});
        out[it->second].markers.push_back(static_cast<int>(m));
    }
    // Maps are not always in position order; ties keep the file's.
    for (chromosome& c : out)
        std::stable_sort(c.markers.begin(), c.markers.end(), [&](int a, int b) {
            const marker& x = s.markers[a];
            const marker& y = s.markers[b];
            if (x.cm != y.cm)
                return x.cm < y.cm;
            return x.map_line < y.map_line;
        });
    return out;
}

std::vector<int> parents_first(const family& f, const std::string& file)
{
    const int n = static_cast<int>(f.persons.size());
    std::vector<int> order;
    order.reserve(n);
    std::vector<char> state(n, 0);  // 0 new, 1 on the path, 2 placed
    std::vector<std::pair<int, int>> stack;
    for (int start = 0; start < n; ++start) {
        if (state[start])
            continue;
        stack.push_back({start, 0});
        state[start] = 1;
        while (!stack.empty()) {
            auto& [i, k] = stack.back();
            const person& p = f.persons[i];
            const int parent = k == 0 ? p.father : k == 1 ? p.mother : -2;
            if (parent == -2) {
                state[i] = 2;
                order.push_back(i);
                stack.pop_back();
                continue;
            }
            ++k;
            if (parent < 0 || state[parent] == 2)
                continue;
            if (state[parent] == 1)
                throw input_error(file, f.persons[parent].line,
                                  "family " + f.id + ": person " + f.persons[parent].id + " is his own ancestor");
            state[parent] = 1;
            stack.push_back({parent, 0});
        }
    }
    return order;
}

}  // namespace linkage
