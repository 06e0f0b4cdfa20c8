#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <vector>

#include "plot.h"

namespace brell_plot {

namespace {

// Geometry of the figure, in SVG user units (pixels).
constexpr double LEFT = 80;           // room for the y tick labels and axis titles
constexpr double PLOT_W = 640;
constexpr double TOP = 44;            // room for the title
constexpr double LOD_H = 300;
constexpr double GAP = 36;
constexpr double DELTA_H = 150;
constexpr double BOTTOM = 64;         // x tick labels and axis title
constexpr double LEGEND_GAP = 24;
constexpr double LEGEND_ROW = 20;
constexpr std::size_t LEGEND_CHARS = 40;  // longer labels are cut in the legend only

const char* const COLOURS[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                               "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};
constexpr std::size_t NCOLOURS = sizeof COLOURS / sizeof COLOURS[0];
// Past the palette, curves are told apart by their dashes.
const char* const DASHES[] = {"", "7 3", "2 2", "7 3 2 3"};
constexpr std::size_t NDASHES = sizeof DASHES / sizeof DASHES[0];

std::string num(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

std::string g(double v, int digits = 6)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

// Halving first keeps the difference finite for any two finite doubles.
double fraction(double v, const axis& a)
{
    return (v * 0.5 - a.lo * 0.5) / (a.hi * 0.5 - a.lo * 0.5);
}

struct panel {
    double top;
    double height;
    axis y;
    double Y(double v) const { return top + height * (1.0 - fraction(v, y)); }
};

struct frame {
    axis x;
    double X(double v) const { return LEFT + PLOT_W * fraction(v, x); }
};

// Reads one code point; returns its length, or 0 for an invalid sequence.
std::size_t utf8_length(std::string_view s, std::size_t i, char32_t& cp)
{
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    auto cont = [&](std::size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    unsigned char c = b(0);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF && cont(1)) {
        cp = (c & 0x1Fu) << 6 | (b(1) & 0x3Fu);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
        cp = (c & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
        // Overlong forms and surrogates are not UTF-8.
        return cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
        cp = (c & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
        return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
    }
    return 0;
}

// Valid UTF-8 holding only characters that XML allows, cut to at most
// maxchars characters.
std::string clean_text(std::string_view s, std::size_t maxchars)
{
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    std::size_t nchars = 0;
    for (std::size_t i = 0; i < s.size();) {
        if (nchars == maxchars) {
            out += "...";
            break;
        }
        char32_t cp = 0;
        std::size_t n = utf8_length(s, i, cp);
        if (n == 0) {
            out += replacement;
            i += 1;
        } else if (cp < 0x20) {
            out += ' ';
            i += 1;
        } else if (cp == 0xFFFE || cp == 0xFFFF) {
            out += replacement;
            i += n;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
        ++nchars;
    }
    return out;
}

std::string escape(std::string_view s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string stroke_style(std::size_t i)
{
    std::string s = std::string("stroke=\"") + COLOURS[i % NCOLOURS] + "\"";
    const char* dash = DASHES[(i / NCOLOURS) % NDASHES];
    if (*dash)
        s += std::string(" stroke-dasharray=\"") + dash + "\"";
    return s;
}

template <class Value>
void draw_curve(std::string& svg, const std::vector<result_row>& rows, const frame& fr, const panel& pn,
                std::size_t colour, Value value)
{
    auto plottable = [&](const result_row& r) { return std::isfinite(r.pos) && std::isfinite(value(r)); };
    for (const row_run& run : runs_of(rows, plottable)) {
        if (run.first == run.last) {
            // A point between two gaps would vanish as a polyline.
            const result_row& r = rows[run.first];
            svg += "<circle cx=\"" + num(fr.X(r.pos)) + "\" cy=\"" + num(pn.Y(value(r))) + "\" r=\"2\" fill=\"" +
                   COLOURS[colour % NCOLOURS] + "\"/>\n";
            continue;
        }
        svg += "<polyline fill=\"none\" stroke-width=\"1.5\" " + stroke_style(colour) + " points=\"";
        for (std::size_t i = run.first; i <= run.last; ++i) {
            if (i > run.first)
                svg += ' ';
            svg += num(fr.X(rows[i].pos)) + "," + num(pn.Y(value(rows[i])));
        }
        svg += "\"/>\n";
    }
}

void draw_panel(std::string& svg, const frame& fr, const panel& pn, const char* title, bool xlabels)
{
    const double right = LEFT + PLOT_W;
    const double bottom = pn.top + pn.height;
    svg += "<g font-size=\"11\" fill=\"#333\">\n";
    for (double t : pn.y.ticks) {
        std::string y = num(pn.Y(t));
        svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + y + "\" x2=\"" + num(right) + "\" y2=\"" + y +
               "\" stroke=\"#e4e4e4\"/>\n";
        svg += "<line x1=\"" + num(LEFT - 5) + "\" y1=\"" + y + "\" x2=\"" + num(LEFT) + "\" y2=\"" + y +
               "\" stroke=\"#444\"/>\n";
        svg += "<text x=\"" + num(LEFT - 8) + "\" y=\"" + num(pn.Y(t) + 4) + "\" text-anchor=\"end\">" +
               escape(tick_label(t, pn.y)) + "</text>\n";
    }
    for (double t : fr.x.ticks) {
        std::string x = num(fr.X(t));
        svg += "<line x1=\"" + x + "\" y1=\"" + num(bottom) + "\" x2=\"" + x + "\" y2=\"" + num(bottom + 5) +
               "\" stroke=\"#444\"/>\n";
        if (xlabels)
            svg += "<text x=\"" + x + "\" y=\"" + num(bottom + 18) + "\" text-anchor=\"middle\">" +
                   escape(tick_label(t, fr.x)) + "</text>\n";
    }
    svg += "</g>\n";
    double mid = pn.top + pn.height / 2;
    svg += "<text x=\"" + num(LEFT - 56) + "\" y=\"" + num(mid) + "\" font-size=\"13\" text-anchor=\"middle\"" +
           " transform=\"rotate(-90 " + num(LEFT - 56) + " " + num(mid) + ")\">" + title + "</text>\n";
    svg += "<rect x=\"" + num(LEFT) + "\" y=\"" + num(pn.top) + "\" width=\"" + num(PLOT_W) + "\" height=\"" +
           num(pn.height) + "\" fill=\"none\" stroke=\"#444\"/>\n";
}

void draw_level(std::string& svg, const panel& pn, double v, const std::string& text, const char* dash)
{
    std::string y = num(pn.Y(v));
    svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + y + "\" x2=\"" + num(LEFT + PLOT_W) + "\" y2=\"" + y +
           "\" stroke=\"#777\"";
    if (*dash)
        svg += std::string(" stroke-dasharray=\"") + dash + "\"";
    svg += "/>\n";
    if (!text.empty())
        svg += "<text x=\"" + num(LEFT + PLOT_W - 4) + "\" y=\"" + num(pn.Y(v) - 4) +
               "\" font-size=\"10\" fill=\"#555\" text-anchor=\"end\">" + escape(text) + "</text>\n";
}

// Keeps peak labels from covering each other: each goes to the nearest free
// line above its marker, or below it when the panel top is reached.
class label_placer {
public:
    double place(double x0, double x1, double marker_y, double top, double bottom)
    {
        constexpr double LINE = 13;
        double y = marker_y - 8;
        for (double c = y; c >= top + 10; c -= LINE)
            if (free(x0, x1, c))
                return take(x0, x1, c);
        for (double c = marker_y + 18; c <= bottom - 3; c += LINE)
            if (free(x0, x1, c))
                return take(x0, x1, c);
        return take(x0, x1, std::max(y, top + 10));
    }

private:
    struct box {
        double x0, x1, y;
    };
    bool free(double x0, double x1, double y) const
    {
        for (const box& b : taken_)
            if (x0 < b.x1 && b.x0 < x1 && std::fabs(y - b.y) < 12)
                return false;
        return true;
    }
    double take(double x0, double x1, double y)
    {
        taken_.push_back({x0, x1, y});
        return y;
    }
    std::vector<box> taken_;
};

void draw_peak(std::string& svg, const result_set& set, std::size_t i, const frame& fr, const panel& lod,
               const panel& delta, label_placer& labels)
{
    peak_info pk = find_peak(set.rows);
    if (!pk.found)
        return;
    const char* colour = COLOURS[i % NCOLOURS];
    double x = fr.X(pk.pos);
    double y = lod.Y(pk.lod);
    svg += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"4\" fill=\"white\" stroke=\"" + colour +
           "\" stroke-width=\"2\"/>\n";
    if (std::isfinite(pk.delta))
        svg += "<circle cx=\"" + num(x) + "\" cy=\"" + num(delta.Y(pk.delta)) + "\" r=\"4\" fill=\"white\" stroke=\"" +
               colour + "\" stroke-width=\"2\"/>\n";

    std::string text = g(pk.pos, 5) + " cM, LOD " + g(pk.lod, 4) + ", delta " + g(pk.delta, 4);
    double width = 6.6 * static_cast<double>(text.size());  // about 0.6 em per character
    bool leftward = x + 7 + width > LEFT + PLOT_W;
    double x0 = leftward ? x - 7 - width : x + 7;
    double ty = labels.place(x0, x0 + width, y, lod.top, lod.top + lod.height);
    svg += "<text x=\"" + num(leftward ? x - 7 : x + 7) + "\" y=\"" + num(ty) + "\" font-size=\"11\" fill=\"" +
           colour + "\"" + (leftward ? " text-anchor=\"end\"" : "") + ">" + escape(text) + "</text>\n";
}

}  // namespace

std::string xml_text(std::string_view s)
{
    return escape(clean_text(s, std::string_view::npos));
}

axis nice_axis(double lo, double hi)
{
    if (!(lo <= hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
        lo = 0;
        hi = 1;
    }
    // A range too narrow for round steps is shown around its middle.
    double widest = std::max(std::fabs(lo), std::fabs(hi));
    if ((hi * 0.5 - lo * 0.5) / 3.0 < std::max(DBL_MIN, widest * 1e-9)) {
        double d = std::max(1.0, std::fabs(lo) * 0.05);
        lo = std::max(-DBL_MAX, lo - d);
        hi = std::min(DBL_MAX, hi + d);
    }
    // About six intervals, each 1, 2 or 5 times a power of ten.
    double raw = (hi * 0.5 - lo * 0.5) / 3.0;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double norm = raw / mag;
    double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
    if (!std::isfinite(step) || step <= 0)
        step = raw;

    axis a{lo, hi, step, {}};
    double wlo = std::floor(lo / step) * step;
    double whi = std::ceil(hi / step) * step;
    if (std::isfinite(wlo) && wlo <= lo)
        a.lo = wlo;
    if (std::isfinite(whi) && whi >= hi)
        a.hi = whi;

    // Counting in steps keeps zero exactly zero; the cap guards against
    // steps below the resolution of very large values.
    double k = std::ceil(a.lo / step);
    for (int n = 0; n < 50; ++n, k += 1) {
        double t = k * step;
        if (!(t <= a.hi))
            break;
        if (a.ticks.empty() || t > a.ticks.back())
            a.ticks.push_back(t);
    }
    return a;
}

std::string tick_label(double t, const axis& a)
{
    double widest = std::max(std::fabs(a.lo), std::fabs(a.hi));
    int digits = 6;
    if (widest > 0 && a.step > 0)
        digits = std::clamp(static_cast<int>(std::floor(std::log10(widest)) - std::floor(std::log10(a.step))) + 1,
                            6, 17);
    return g(t, digits);
}

std::string svg_figure(const std::vector<result_set>& sets)
{
    // Axis ranges over every file's finite values; thresholds and zero are
    // always in view.
    double xmin = INFINITY, xmax = -INFINITY;
    double lmin = 0, lmax = LOD_SIGNIFICANT;
    double dmin = 0, dmax = 0;
    std::size_t longest = 0;
    for (const result_set& s : sets) {
        longest = std::max(longest, clean_text(s.label, LEGEND_CHARS).size());
        for (const result_row& r : s.rows) {
            if (!std::isfinite(r.pos))
                continue;
            xmin = std::min(xmin, r.pos);
            xmax = std::max(xmax, r.pos);
            if (std::isfinite(r.lod)) {
                lmin = std::min(lmin, r.lod);
                lmax = std::max(lmax, r.lod);
            }
            if (std::isfinite(r.delta)) {
                dmin = std::min(dmin, r.delta);
                dmax = std::max(dmax, r.delta);
            }
        }
    }
    // Headroom above the highest peak for its label.
    lmax = std::min(DBL_MAX, lmax + 0.12 * (lmax * 0.5 - lmin * 0.5) * 2);

    frame fr{nice_axis(xmin, xmax)};
    panel lod{TOP, LOD_H, nice_axis(lmin, lmax)};
    panel delta{TOP + LOD_H + GAP, DELTA_H, nice_axis(dmin, dmax)};

    const double legend_x = LEFT + PLOT_W + LEGEND_GAP;
    const double legend_w = 40 + 7 * static_cast<double>(std::min<std::size_t>(longest, LEGEND_CHARS + 3));
    const double width = legend_x + legend_w + 16;
    const double height =
        std::max(delta.top + DELTA_H + BOTTOM, TOP + 16 + LEGEND_ROW * static_cast<double>(sets.size()));

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
           "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
    svg += "<title>LOD score and estimated delta by map position</title>\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + num(width) + "\" height=\"" + num(height) + "\" fill=\"white\"/>\n";
    svg += "<text x=\"" + num(LEFT + PLOT_W / 2) + "\" y=\"26\" font-size=\"15\" text-anchor=\"middle\">" +
           "LOD score and estimated delta by map position</text>\n";

    draw_panel(svg, fr, lod, "LOD score", false);
    draw_panel(svg, fr, delta, "Estimated delta", true);
    svg += "<text x=\"" + num(LEFT + PLOT_W / 2) + "\" y=\"" + num(delta.top + DELTA_H + 44) +
           "\" font-size=\"13\" text-anchor=\"middle\">Position (cM)</text>\n";

    draw_level(svg, lod, LOD_SUGGESTIVE, "suggestive (LOD " + g(LOD_SUGGESTIVE) + ")", "6 4");
    draw_level(svg, lod, LOD_SIGNIFICANT, "significant (LOD " + g(LOD_SIGNIFICANT) + ")", "6 4");
    draw_level(svg, lod, 0.0, "", "");
    draw_level(svg, delta, 0.0, "", "");

    label_placer labels;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        svg += "<g>\n<title>" + xml_text(sets[i].label) + "</title>\n";
        draw_curve(svg, sets[i].rows, fr, lod, i, [](const result_row& r) { return r.lod; });
        draw_curve(svg, sets[i].rows, fr, delta, i, [](const result_row& r) { return r.delta; });
        draw_peak(svg, sets[i], i, fr, lod, delta, labels);
        svg += "</g>\n";
    }

    svg += "<g font-size=\"12\">\n";
    for (std::size_t i = 0; i < sets.size(); ++i) {
        double y = TOP + 10 + LEGEND_ROW * static_cast<double>(i);
        svg += "<line x1=\"" + num(legend_x) + "\" y1=\"" + num(y) + "\" x2=\"" + num(legend_x + 24) + "\" y2=\"" +
               num(y) + "\" stroke-width=\"2\" " + stroke_style(i) + "/>\n";
        svg += "<text x=\"" + num(legend_x + 30) + "\" y=\"" + num(y + 4) + "\">" +
               escape(clean_text(sets[i].label, LEGEND_CHARS)) + "</text>\n";
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

}  // namespace brell_plot
