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
    return unsigned_zero(buf);
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

template <class Row, class Frame, class Value>
void draw_curve(std::string& svg, const std::vector<Row>& rows, const Frame& fr, const panel& pn,
                const char* colour, const std::string& stroke, Value value)
{
    auto plottable = [&](const Row& r) { return std::isfinite(r.pos) && std::isfinite(value(r)); };
    for (const row_run& run : runs_of(rows, plottable)) {
        if (run.first == run.last) {
            // A point between two gaps would vanish as a polyline.
            const Row& r = rows[run.first];
            svg += "<circle cx=\"" + num(fr.X(r.pos)) + "\" cy=\"" + num(pn.Y(value(r))) + "\" r=\"2\" fill=\"" +
                   colour + "\"/>\n";
            continue;
        }
        svg += "<polyline fill=\"none\" stroke-width=\"1.5\" " + stroke + " points=\"";
        for (std::size_t i = run.first; i <= run.last; ++i) {
            if (i > run.first)
                svg += ' ';
            svg += num(fr.X(rows[i].pos)) + "," + num(pn.Y(value(rows[i])));
        }
        svg += "\"/>\n";
    }
}

// Grid lines, tick marks and tick labels of a panel's y axis.
void y_ticks(std::string& svg, const panel& pn, double left, double right, const std::vector<double>& ticks)
{
    for (double t : ticks) {
        std::string y = num(pn.Y(t));
        svg += "<line x1=\"" + num(left) + "\" y1=\"" + y + "\" x2=\"" + num(right) + "\" y2=\"" + y +
               "\" stroke=\"#e4e4e4\"/>\n";
        svg += "<line x1=\"" + num(left - 5) + "\" y1=\"" + y + "\" x2=\"" + num(left) + "\" y2=\"" + y +
               "\" stroke=\"#444\"/>\n";
        svg += "<text x=\"" + num(left - 8) + "\" y=\"" + num(pn.Y(t) + 4) + "\" text-anchor=\"end\">" +
               escape(tick_label(t, pn.y)) + "</text>\n";
    }
}

// The rotated axis title left of a panel, and its border.
void panel_frame(std::string& svg, const panel& pn, double left, double width, const char* title)
{
    double mid = pn.top + pn.height / 2;
    svg += "<text x=\"" + num(left - 56) + "\" y=\"" + num(mid) + "\" font-size=\"13\" text-anchor=\"middle\"" +
           " transform=\"rotate(-90 " + num(left - 56) + " " + num(mid) + ")\">" + title + "</text>\n";
    svg += "<rect x=\"" + num(left) + "\" y=\"" + num(pn.top) + "\" width=\"" + num(width) + "\" height=\"" +
           num(pn.height) + "\" fill=\"none\" stroke=\"#444\"/>\n";
}

void hline(std::string& svg, double x0, double x1, double y, const char* stroke, const char* dash)
{
    svg += "<line x1=\"" + num(x0) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x1) + "\" y2=\"" + num(y) +
           "\" stroke=\"" + stroke + "\"";
    if (*dash)
        svg += std::string(" stroke-dasharray=\"") + dash + "\"";
    svg += "/>\n";
}

void draw_panel(std::string& svg, const frame& fr, const panel& pn, const char* title, bool xlabels)
{
    const double bottom = pn.top + pn.height;
    svg += "<g font-size=\"11\" fill=\"#333\">\n";
    y_ticks(svg, pn, LEFT, LEFT + PLOT_W, pn.y.ticks);
    for (double t : fr.x.ticks) {
        std::string x = num(fr.X(t));
        svg += "<line x1=\"" + x + "\" y1=\"" + num(bottom) + "\" x2=\"" + x + "\" y2=\"" + num(bottom + 5) +
               "\" stroke=\"#444\"/>\n";
        if (xlabels)
            svg += "<text x=\"" + x + "\" y=\"" + num(bottom + 18) + "\" text-anchor=\"middle\">" +
                   escape(tick_label(t, fr.x)) + "</text>\n";
    }
    svg += "</g>\n";
    panel_frame(svg, pn, LEFT, PLOT_W, title);
}

void draw_level(std::string& svg, const panel& pn, double v, const std::string& text, const char* dash)
{
    hline(svg, LEFT, LEFT + PLOT_W, pn.Y(v), "#777", dash);
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

std::string unsigned_zero(std::string text)
{
    if (text.starts_with('-') && text.find_first_not_of("0.", 1) == std::string::npos)
        text.erase(0, 1);
    return text;
}

std::string svg_figure(const std::vector<result_set>& sets, const std::string& title_text)
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
    const std::string title =
        xml_text(clean_text(title_text.empty() ? "LOD score and estimated delta by map position" : title_text, 100));
    svg += "<title>" + title + "</title>\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + num(width) + "\" height=\"" + num(height) + "\" fill=\"white\"/>\n";
    svg += "<text x=\"" + num(LEFT + PLOT_W / 2) + "\" y=\"26\" font-size=\"15\" text-anchor=\"middle\">" + title +
           "</text>\n";

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
        const char* colour = COLOURS[i % NCOLOURS];
        draw_curve(svg, sets[i].rows, fr, lod, colour, stroke_style(i), [](const result_row& r) { return r.lod; });
        draw_curve(svg, sets[i].rows, fr, delta, colour, stroke_style(i), [](const result_row& r) { return r.delta; });
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

// ---- The genome figure ----------------------------------------------------

namespace brell_plot {

namespace {

// Geometry of the genome figure, in SVG user units (pixels).
constexpr double G_LEFT = 70;
constexpr double G_PLOT_W = 960;
constexpr double G_TOP = 64;       // title and legend
constexpr double G_LOD_H = 300;
constexpr double G_INFO_GAP = 10;
constexpr double G_INFO_H = 56;    // information content, 0 to 1
constexpr double G_BOTTOM = 68;    // cM ticks, chromosome names in two rows and the axis title
constexpr double G_CHAR_W = 6.2;   // width of a character at font size 10, about
constexpr std::size_t NAME_CHARS = 12;  // longer chromosome names are cut
constexpr double LABEL_LINE = 11;  // threshold labels are at least this far apart

// Where one chromosome's map lies across the figure.
struct chrom_frame {
    double x0, x1;  // pixels
    double lo, hi;  // cM
    double X(double v) const
    {
        if (!(hi > lo))
            return (x0 + x1) / 2;
        return x0 + (x1 - x0) * ((v * 0.5 - lo * 0.5) / (hi * 0.5 - lo * 0.5));
    }
};

// Chromosomes side by side in file order, each as wide as its map (short
// ones widened so that they stay visible), with small gaps between them.
double first_pos(const scan_chromosome& c)
{
    return c.positions.empty() ? 0.0 : c.positions.front().pos;
}

double last_pos(const scan_chromosome& c)
{
    return c.positions.empty() ? 0.0 : c.positions.back().pos;
}

std::vector<chrom_frame> lay_out(const genome_scan& scan, double& gap_px)
{
    gap_px = 0;
    std::size_t n = scan.chromosomes.size();
    if (n == 0)
        return {};
    std::vector<double> width(n, 1.0);
    // Half spans keep the difference finite for any two finite positions.
    double total = 0;
    for (const scan_chromosome& c : scan.chromosomes)
        total += last_pos(c) * 0.5 - first_pos(c) * 0.5;
    if (std::isfinite(total) && total > 0)
        for (std::size_t i = 0; i < n; ++i) {
            const scan_chromosome& c = scan.chromosomes[i];
            width[i] = std::max(last_pos(c) * 0.5 - first_pos(c) * 0.5, total * 0.006);
        }
    double sum = 0;
    for (double w : width)
        sum += w;
    double gap = 0.012 * sum;
    double span = sum + gap * static_cast<double>(n - 1);
    if (!std::isfinite(span)) {
        std::fill(width.begin(), width.end(), 1.0);
        gap = 0.012 * static_cast<double>(n);
        span = static_cast<double>(n) + gap * static_cast<double>(n - 1);
    }
    double scale = G_PLOT_W / span;
    gap_px = gap * scale;
    std::vector<chrom_frame> out;
    double at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const scan_chromosome& c = scan.chromosomes[i];
        double x0 = G_LEFT + at * scale;
        double x1 = i + 1 == n ? G_LEFT + G_PLOT_W : std::min(G_LEFT + G_PLOT_W, x0 + width[i] * scale);
        out.push_back({x0, x1, first_pos(c), last_pos(c)});
        at += width[i] + gap;
    }
    return out;
}

struct level_label {
    double y;
    std::string text;
    const char* colour;
};

// Labels in the column right of the plot, each beside its line and pushed
// apart where lines lie close together.
void draw_level_labels(std::string& svg, std::vector<level_label> labels, double top, double bottom)
{
    std::stable_sort(labels.begin(), labels.end(), [](const level_label& a, const level_label& b) { return a.y < b.y; });
    for (std::size_t i = 1; i < labels.size(); ++i)
        labels[i].y = std::max(labels[i].y, labels[i - 1].y + LABEL_LINE);
    for (std::size_t i = labels.size(); i-- > 0;) {
        double limit = i + 1 < labels.size() ? labels[i + 1].y - LABEL_LINE : bottom;
        labels[i].y = std::max(top, std::min(labels[i].y, limit));
    }
    for (const level_label& l : labels)
        svg += "<text x=\"" + num(G_LEFT + G_PLOT_W + 6) + "\" y=\"" + num(l.y + 3.5) + "\" font-size=\"10\" fill=\"" +
               l.colour + "\">" + xml_text(l.text) + "</text>\n";
}

std::string lod_text(double v)
{
    return g(v, 3);
}

// cM ticks under each chromosome, at one round step for the whole genome
// that leaves room for the labels (smaller on a chromosome too short for
// it); a label that would touch the one before it, at the end of the
// chromosome before, is left out, its tick kept.
void cm_ticks(std::string& svg, const genome_scan& scan, const std::vector<chrom_frame>& frames, double bottom)
{
    constexpr double MIN_SPACING = 48;  // pixels between ticks
    // Short chromosomes are widened: the widest scale is the genome's.
    double cm_per_px = 0;
    for (const chrom_frame& f : frames)
        if (f.x1 > f.x0)
            cm_per_px = std::max(cm_per_px, 2 * (f.hi * 0.5 - f.lo * 0.5) / (f.x1 - f.x0));
    const double raw = MIN_SPACING * cm_per_px;
    const double genome_mag = raw > 0 && std::isfinite(raw) ? std::pow(10.0, std::floor(std::log10(raw))) : 1.0;
    const int genome_unit = raw <= genome_mag ? 1 : raw <= 2 * genome_mag ? 2 : raw <= 5 * genome_mag ? 5 : 10;

    svg += "<g font-size=\"9\" fill=\"#555\" text-anchor=\"middle\">\n";
    double label_end = -INFINITY;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const chrom_frame& f = frames[i];
        if (scan.chromosomes[i].positions.empty() || !std::isfinite(f.hi * 0.5 - f.lo * 0.5))
            continue;
        double mag = genome_mag;
        int unit = genome_unit;
        auto first = [&] { return std::ceil(f.lo / (unit * mag)) * unit * mag; };
        for (int n = 0; n < 30 && !(first() <= f.hi); ++n) {
            if (unit == 1)
                unit = 5, mag /= 10;
            else
                unit = unit == 10 ? 5 : unit == 5 ? 2 : 1;
        }
        const double step = unit * mag;
        std::vector<double> ticks;
        for (double k = std::ceil(f.lo / step); k * step <= f.hi && ticks.size() < 100; k += 1)
            ticks.push_back(k * step);
        if (ticks.empty())
            ticks.push_back(f.lo);
        for (double t : ticks) {
            const double x = f.X(t);
            svg += "<line x1=\"" + num(x) + "\" y1=\"" + num(bottom) + "\" x2=\"" + num(x) + "\" y2=\"" +
                   num(bottom + 4) + "\" stroke=\"#444\"/>\n";
            const std::string text = g(t, 6);
            const double half = 0.56 * G_CHAR_W * static_cast<double>(text.size());
            if (x - half < label_end + 4)
                continue;
            svg += "<text x=\"" + num(x) + "\" y=\"" + num(bottom + 13) + "\">" + escape(text) + "</text>\n";
            label_end = x + half;
        }
    }
    svg += "</g>\n";
}

}  // namespace

std::string genome_svg(const genome_scan& scan, const significance* sig)
{
    const std::size_t nmodels = scan.models.size();

    // Empirical thresholds of the models drawn, in file order.
    struct empirical {
        std::size_t model;
        double lod;
        std::string text;
    };
    std::vector<empirical> thresholds;
    if (sig)
        for (const significance::threshold& t : sig->thresholds)
            for (std::size_t m = 0; m < nmodels; ++m)
                if (t.model == scan.models[m] && std::isfinite(t.lod))
                    thresholds.push_back({m, t.lod, t.model + " " + threshold_name(t.id) + " " + lod_text(t.lod)});

    double lmin = 0, lmax = LOD_SIGNIFICANT;
    double imin = 0, imax = 1;
    for (const scan_chromosome& c : scan.chromosomes) {
        for (const auto& curve : c.curves)
            for (const result_row& r : curve)
                if (std::isfinite(r.lod)) {
                    lmin = std::min(lmin, r.lod);
                    lmax = std::max(lmax, r.lod);
                }
        for (const scan_position& p : c.positions)
            if (std::isfinite(p.information)) {
                imin = std::min(imin, p.information);
                imax = std::max(imax, p.information);
            }
    }
    for (const empirical& t : thresholds) {
        lmin = std::min(lmin, t.lod);
        lmax = std::max(lmax, t.lod);
    }
    // Headroom above the highest peak for its label.
    lmax = std::min(DBL_MAX, lmax + 0.12 * (lmax * 0.5 - lmin * 0.5) * 2);

    double gap_px = 0;
    const std::vector<chrom_frame> frames = lay_out(scan, gap_px);
    panel lod{G_TOP, G_LOD_H, nice_axis(lmin, lmax)};
    panel info{G_TOP + G_LOD_H + G_INFO_GAP, G_INFO_H, nice_axis(imin, imax)};
    const double bottom = info.top + info.height;

    std::vector<level_label> labels = {
        {lod.Y(LOD_SUGGESTIVE), "suggestive " + lod_text(LOD_SUGGESTIVE), "#555"},
        {lod.Y(LOD_SIGNIFICANT), "significant " + lod_text(LOD_SIGNIFICANT), "#555"},
    };
    std::size_t longest = 16;
    for (const empirical& t : thresholds) {
        labels.push_back({lod.Y(t.lod), t.text, COLOURS[t.model % NCOLOURS]});
        longest = std::max(longest, clean_text(t.text, std::string_view::npos).size());
    }
    const double width = G_LEFT + G_PLOT_W + 14 + G_CHAR_W * static_cast<double>(longest);
    const double height = bottom + G_BOTTOM;

    const std::string title = scan.title.empty() ? "Genome scan: " + clean_text(scan.name, 60) : clean_text(scan.title, 100);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
           "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n";
    svg += "<title>" + escape(title) + "</title>\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + num(width) + "\" height=\"" + num(height) + "\" fill=\"white\"/>\n";
    svg += "<text x=\"" + num(G_LEFT + G_PLOT_W / 2) + "\" y=\"22\" font-size=\"15\" text-anchor=\"middle\">" +
           escape(title) + "</text>\n";

    // Every other chromosome shaded, across both panels.
    for (std::size_t i = 1; i < frames.size(); i += 2) {
        double x0 = std::max(G_LEFT, frames[i].x0 - gap_px / 2);
        double x1 = std::min(G_LEFT + G_PLOT_W, frames[i].x1 + gap_px / 2);
        for (const panel* pn : {&lod, &info})
            svg += "<rect x=\"" + num(x0) + "\" y=\"" + num(pn->top) + "\" width=\"" + num(x1 - x0) + "\" height=\"" +
                   num(pn->height) + "\" fill=\"#eef0f4\"/>\n";
    }

    svg += "<g font-size=\"11\" fill=\"#333\">\n";
    y_ticks(svg, lod, G_LEFT, G_LEFT + G_PLOT_W, lod.y.ticks);
    // The thin panel shows only its ends.
    y_ticks(svg, info, G_LEFT, G_LEFT + G_PLOT_W, {info.y.lo, info.y.hi});
    svg += "</g>\n";
    panel_frame(svg, lod, G_LEFT, G_PLOT_W, "LOD score");
    panel_frame(svg, info, G_LEFT, G_PLOT_W, "Info");

    cm_ticks(svg, scan, frames, bottom);

    // Chromosome names under their maps; a name that would touch the one
    // before it drops to a second row, or is left out.
    svg += "<g font-size=\"10\" fill=\"#333\" text-anchor=\"middle\">\n";
    double row_end[2] = {-INFINITY, -INFINITY};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::string name = clean_text(scan.chromosomes[i].name, NAME_CHARS);
        double x = (frames[i].x0 + frames[i].x1) / 2;
        double half = G_CHAR_W * static_cast<double>(name.size()) / 2;
        for (int row = 0; row < 2; ++row)
            if (x - half > row_end[row] + 2) {
                svg += "<text x=\"" + num(x) + "\" y=\"" + num(bottom + 28 + 12 * row) + "\">" + escape(name) +
                       "</text>\n";
                row_end[row] = x + half;
                break;
            }
    }
    svg += "</g>\n";
    svg += "<text x=\"" + num(G_LEFT + G_PLOT_W / 2) + "\" y=\"" + num(bottom + 58) +
           "\" font-size=\"13\" text-anchor=\"middle\">Chromosome (position in cM)</text>\n";

    hline(svg, G_LEFT, G_LEFT + G_PLOT_W, lod.Y(LOD_SUGGESTIVE), "#777", "6 4");
    hline(svg, G_LEFT, G_LEFT + G_PLOT_W, lod.Y(LOD_SIGNIFICANT), "#777", "6 4");
    if (lod.y.lo < 0)
        hline(svg, G_LEFT, G_LEFT + G_PLOT_W, lod.Y(0.0), "#777", "");
    for (const empirical& t : thresholds)
        hline(svg, G_LEFT, G_LEFT + G_PLOT_W, lod.Y(t.lod), COLOURS[t.model % NCOLOURS], "2 3");
    draw_level_labels(svg, labels, G_TOP + 4, bottom);

    svg += "<g>\n<title>information content</title>\n";
    for (std::size_t i = 0; i < frames.size(); ++i)
        draw_curve(svg, scan.chromosomes[i].positions, frames[i], info, "#666", "stroke=\"#666\"",
                   [](const scan_position& p) { return p.information; });
    svg += "</g>\n";

    label_placer placer;
    for (std::size_t m = 0; m < nmodels; ++m) {
        svg += "<g>\n<title>" + xml_text(scan.models[m]) + "</title>\n";
        for (std::size_t i = 0; i < frames.size(); ++i)
            draw_curve(svg, scan.chromosomes[i].curves[m], frames[i], lod, COLOURS[m % NCOLOURS], stroke_style(m),
                       [](const result_row& r) { return r.lod; });
        const genome_peak top = best_peak(scan, m);
        if (top.peak.found) {
            const std::size_t best = top.chromosome;
            const peak_info& best_pk = top.peak;
            const char* colour = COLOURS[m % NCOLOURS];
            double x = frames[best].X(best_pk.pos);
            double y = lod.Y(best_pk.lod);
            svg += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"4\" fill=\"white\" stroke=\"" + colour +
                   "\" stroke-width=\"2\"/>\n";
            std::string text = clean_text(scan.models[m] + ": chromosome " + scan.chromosomes[best].name + ", " +
                                              g(best_pk.pos, 5) + " cM, LOD " + g(best_pk.lod, 3),
                                          80);
            double w = 6.6 * static_cast<double>(text.size());
            bool leftward = x + 7 + w > G_LEFT + G_PLOT_W;
            double x0 = leftward ? x - 7 - w : x + 7;
            double ty = placer.place(x0, x0 + w, y, lod.top, lod.top + lod.height);
            svg += "<text x=\"" + num(leftward ? x - 7 : x + 7) + "\" y=\"" + num(ty) + "\" font-size=\"11\" fill=\"" +
                   colour + "\"" + (leftward ? " text-anchor=\"end\"" : "") + ">" + escape(text) + "</text>\n";
        }
        svg += "</g>\n";
    }

    // Legend beside the title row.
    svg += "<g font-size=\"12\">\n";
    double lx = G_LEFT;
    for (std::size_t m = 0; m < nmodels; ++m) {
        std::string name = clean_text(scan.models[m], 20);
        svg += "<line x1=\"" + num(lx) + "\" y1=\"44\" x2=\"" + num(lx + 24) + "\" y2=\"44\" stroke-width=\"2\" " +
               stroke_style(m) + "/>\n";
        svg += "<text x=\"" + num(lx + 30) + "\" y=\"48\">" + escape(name) + "</text>\n";
        lx += 30 + 7.5 * static_cast<double>(name.size()) + 20;
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

}  // namespace brell_plot
