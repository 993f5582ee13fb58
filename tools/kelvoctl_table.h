#pragma once
// Plain-text tables for people: columns padded to their widest cell
// (counted in characters, so Czech names line up), two spaces between
// columns, a rule under the headings, no trailing blanks. Control
// characters in cells are shown as "?".

#include <string>
#include <utility>
#include <vector>

namespace kelvo::ctl {

class TTextTable {
public:
    explicit TTextTable(std::vector<std::string> Headers);

    // Pads the cells of Column on the left (numbers, measured values).
    void AlignRight(size_t Column);
    // A row; missing cells are empty, extra cells are dropped.
    void AddRow(std::vector<std::string> Cells);
    size_t RowCount() const { return FRows.size(); }

    // Headings, rule and rows, each line ended by "\n".
    std::string Render() const;

    // For a table printed row by row as the rows arrive: the column widths
    // are fixed beforehand (at least the headings' and MinWidth).
    std::vector<size_t> FixedWidths(size_t MinWidth) const;
    std::string RenderHeader(const std::vector<size_t>& Widths) const;
    std::string RenderRow(const std::vector<std::string>& Cells, const std::vector<size_t>& Widths) const;

private:
    std::string Line(const std::vector<std::string>& Cells, const std::vector<size_t>& Widths) const;

    std::vector<std::string> FHeaders;
    std::vector<bool> FRight;
    std::vector<std::vector<std::string>> FRows;
};

// "Label  value" lines with the labels padded to the longest one.
std::string RenderPairs(const std::vector<std::pair<std::string, std::string>>& Pairs);

}  // namespace kelvo::ctl
