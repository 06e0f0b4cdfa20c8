// One fuzzer input run through brell, and the judgement of the run.
//
// An input is text, so that seeds and regression cases can be written by
// hand:
//
//   LIN GRID 0 1 10          the words after the program name, split at
//   ==nullprobs              single spaces (an empty line: no words)
//   K1 .5 0                  a section: its content runs up to the next
//   K1 .5 1                  section line
//   ==probs x20              probs.dat: the content repeated 20 times
//   K1 0 0 .1 ...
//
// A section line is "==NAME" with NAME one of nullprobs, weights, probs,
// brell.out, then optionally "dir" (a folder of that name instead of a
// file), "none" (no such entry), "link" (brell.out only: a symbolic link to
// a file that holds the content), "private" (permissions 600) and "xN" (the
// content N times, within a size cap). A later section of the same file adds to it. An input file without a
// section is absent; brell.out's content is the results of an earlier run,
// which a failed run must leave as they were (a default text when the
// section is missing).
//
// The run is judged against the rules the readers and the command line
// follow, worked out here independently: which phase, if any, must fail and
// at which line; what the readers must have stored; which messages may
// appear; the shape of every results line; that a failed run leaves the
// folder as it was and that no temporary file survives; and that one and
// two threads give the same bytes.
#pragma once

#include <string>
#include <string_view>

namespace brell_fuzz {

struct verdict {
    bool skipped = false;   // beyond the caps that keep one run fast
    std::string violation;  // what went wrong; empty when nothing did
};

// Owns one scratch folder, reused by every run.
class harness {
public:
    harness();
    ~harness();
    harness(const harness&) = delete;
    harness& operator=(const harness&) = delete;
    verdict run(std::string_view input);

private:
    std::string dir_;
};

}  // namespace brell_fuzz
