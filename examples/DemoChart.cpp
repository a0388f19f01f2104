// SVG output of BarChart. The axis runs over whole powers of two that enclose every non-zero
// value, with a labelled grid line every 4x (or 16x when the range is wide), so that bars of 112
// bytes and of 60 MB are both readable in one picture.
#include "DemoChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

// Distinguishable for the common forms of colour blindness, and in grey print.
constexpr const char* kColours[] = {"#0072B2", "#E69F00", "#009E73", "#CC79A7",
                                    "#56B4E9", "#D55E00", "#555555", "#F0E442"};
constexpr int kColourCount = sizeof(kColours) / sizeof(kColours[0]);

constexpr int kLeft = 96, kTop = 64, kPlotHeight = 380, kBottom = 84;
constexpr int kBarWidth = 12, kGroupGap = 28, kLegendGap = 28, kLegendWidth = 200;

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

std::vector<std::string> Lines(const std::string& label) {
    std::vector<std::string> lines;
    std::istringstream in(label);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

std::string FormatBytes(double bytes) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0 || bytes >= 100 || bytes == std::floor(bytes))
        std::snprintf(text, sizeof text, "%.0f %s", bytes, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

BarChart::BarChart(std::string title, std::vector<std::string> seriesNames)
    : title(std::move(title)), series(std::move(seriesNames)) {}

void BarChart::AddGroup(std::string label, std::vector<double> bytes) {
    bytes.resize(series.size());
    groups.push_back({std::move(label), std::move(bytes)});
}

bool BarChart::WriteSvg(const std::string& path) const {
    // The axis: from the power of two at or below the smallest bar to the one at or above the
    // largest, both on a grid step.
    double smallest = 0, largest = 0;
    for (const Group& group : groups)
        for (double value : group.bytes)
            if (value > 0) {
                smallest = smallest == 0 ? value : std::min(smallest, value);
                largest = std::max(largest, value);
            }
    if (largest == 0) smallest = 1024, largest = 1 << 20;
    int low = static_cast<int>(std::floor(std::log2(smallest)));
    int high = static_cast<int>(std::ceil(std::log2(largest)));
    const int step = high - low > 24 ? 4 : 2;
    low = low / step * step;
    high = std::max((high + step - 1) / step * step, low + step);
    const auto yOf = [&](double value) {
        const double fraction = (std::log2(value) - low) / (high - low);
        return kTop + kPlotHeight * (1 - std::clamp(fraction, 0.0, 1.0));
    };

    const int groupWidth = static_cast<int>(series.size()) * kBarWidth + kGroupGap;
    const int plotWidth = static_cast<int>(groups.size()) * groupWidth;
    const int width = kLeft + plotWidth + kLegendGap + kLegendWidth;
    const int height = kTop + kPlotHeight + kBottom;
    const int baseline = kTop + kPlotHeight;

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << ' ' << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"26\" font-size=\"17\" font-weight=\"bold\">"
        << Escape(title) << "</text>\n"
        << "<text x=\"" << kLeft
        << "\" y=\"46\" fill=\"#444\">At the end of each phase of the demo; "
        << "logarithmic scale; no bar: nothing in use, or no such pool</text>\n";

    // Grid and y axis.
    for (int exponent = low; exponent <= high; exponent += step) {
        const double y = yOf(std::ldexp(1.0, exponent));
        svg << "<line x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << kLeft + plotWidth
            << "\" y2=\"" << y << "\" stroke=\"#ddd\"/>\n"
            << "<text x=\"" << kLeft - 8 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">"
            << FormatBytes(std::ldexp(1.0, exponent)) << "</text>\n";
    }
    svg << "<line x1=\"" << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft << "\" y2=\""
        << baseline << "\" stroke=\"black\"/>\n"
        << "<line x1=\"" << kLeft << "\" y1=\"" << baseline << "\" x2=\"" << kLeft + plotWidth
        << "\" y2=\"" << baseline << "\" stroke=\"black\"/>\n"
        << "<text transform=\"translate(22 " << kTop + kPlotHeight / 2
        << ") rotate(-90)\" text-anchor=\"middle\">bytes in use (log scale)</text>\n"
        << "<text x=\"" << kLeft + plotWidth / 2 << "\" y=\"" << height - 10
        << "\" text-anchor=\"middle\">phase of the demo</text>\n";

    // Bars, each with a tooltip giving its exact value.
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const int groupLeft = kLeft + static_cast<int>(g) * groupWidth + kGroupGap / 2;
        for (std::size_t s = 0; s < series.size(); ++s) {
            const double value = groups[g].bytes[s];
            if (value <= 0) continue;
            const double top = std::min(yOf(value), baseline - 1.0);
            svg << "<rect x=\"" << groupLeft + static_cast<int>(s) * kBarWidth << "\" y=\"" << top
                << "\" width=\"" << kBarWidth - 1 << "\" height=\"" << baseline - top
                << "\" fill=\"" << kColours[s % kColourCount] << "\"><title>" << Escape(series[s])
                << ", " << Escape(groups[g].label) << ": " << static_cast<unsigned long long>(value)
                << " bytes</title></rect>\n";
        }
        const std::vector<std::string> lines = Lines(groups[g].label);
        const int centre = groupLeft + static_cast<int>(series.size()) * kBarWidth / 2;
        for (std::size_t l = 0; l < lines.size(); ++l)
            svg << "<text x=\"" << centre << "\" y=\"" << baseline + 18 + 15 * static_cast<int>(l)
                << "\" text-anchor=\"middle\">" << Escape(lines[l]) << "</text>\n";
    }

    // Legend.
    const int legendLeft = kLeft + plotWidth + kLegendGap;
    for (std::size_t s = 0; s < series.size(); ++s) {
        const int y = kTop + 8 + static_cast<int>(s) * 24;
        svg << "<rect x=\"" << legendLeft << "\" y=\"" << y
            << "\" width=\"14\" height=\"14\" fill=\"" << kColours[s % kColourCount] << "\"/>\n"
            << "<text x=\"" << legendLeft + 22 << "\" y=\"" << y + 12 << "\">" << Escape(series[s])
            << "</text>\n";
    }
    svg << "</svg>\n";

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << svg.str();
    return static_cast<bool>(file.flush());
}
