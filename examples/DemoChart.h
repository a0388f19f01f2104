// A grouped-bar chart written as one self-contained SVG file: a group of bars per phase of the
// demo, one bar per series, bytes on a logarithmic axis (the pools span a few hundred bytes to
// tens of megabytes, which a linear axis would flatten). No dependency beyond the standard library.
#pragma once

#include <string>
#include <vector>

class BarChart {
public:
    BarChart(std::string title, std::vector<std::string> seriesNames);

    // Requires: one value per series. A value of 0 draws no bar. '\n' in a label breaks it.
    void AddGroup(std::string label, std::vector<double> bytes);

    // False when the file cannot be written.
    bool WriteSvg(const std::string& path) const;

private:
    struct Group {
        std::string label;
        std::vector<double> bytes;
    };
    std::string title;
    std::vector<std::string> series;
    std::vector<Group> groups;
};

// "512 B", "48 KB", "1.5 MB": binary units, as the rest of the demo prints them.
std::string FormatBytes(double bytes);
