#include <cstdio>
#include <unordered_map>

#include "brell.h"

namespace brell {

void weights(run_data& dat)
{
    for (fam_record& r : dat.fam)
        r.weight = 1.0;
    file_ptr f = try_open(dat, WEIGHTS_FILE, "r");
    if (!f)
        return;  // optional: every kindred keeps weight 1

    // First record of each name: a repeated name is weighted only once.
    std::unordered_map<std::string_view, fam_record*> first;
    for (fam_record& r : dat.fam)
        first.emplace(r.name, &r);

    const run_error bad_format("Run-time error: 'weights.dat' improperly formatted\n");
    line_reader in(f.get(), WEIGHTS_FILE);
    std::string_view line;
    std::string rest;
    while (in.next(line)) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);  // a CRLF line end, not a blank
        if (line.empty())
            continue;
        std::string_view id;
        if (split_fields(line, &id, 1) == 0)
            throw bad_format;
        // The weight is read as scanf reads it: the longest number at the
        // start of what follows, anything after it ignored.
        rest.assign(id.data() + id.size(), line.data() + line.size());
        double w = 0.0;
        if (std::sscanf(rest.c_str(), "%le", &w) != 1)
            throw bad_format;
        auto it = first.find(id);
        if (it == first.end()) {
            std::string name(id);
            std::fprintf(dat.out, "Warning: kindred (%s) not found, no weight assigned\n", name.c_str());
            continue;
        }
        it->second->weight = w;
    }
}

}  // namespace brell
