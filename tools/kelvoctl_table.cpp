#include "kelvoctl_table.h"

#include <algorithm>

#include "kelvoctl_text.h"

namespace kelvo::ctl {

namespace {

std::string Padding(size_t N)
{
    return std::string(N, ' ');
}

void TrimRight(std::string& S)
{
    while (!S.empty() && S.back() == ' ')
        S.pop_back();
}

}  // namespace

TTextTable::TTextTable(std::vector<std::string> Headers)
    : FHeaders(std::move(Headers)), FRight(FHeaders.size(), false)
{
}

void TTextTable::AlignRight(size_t Column)
{
    if (Column < FRight.size())
        FRight[Column] = true;
}

void TTextTable::AddRow(std::vector<std::string> Cells)
{
    Cells.resize(FHeaders.size());
    for (std::string& c : Cells)
        c = PrintableText(c);
    FRows.push_back(std::move(Cells));
}

std::string TTextTable::Line(const std::vector<std::string>& Cells, const std::vector<size_t>& Widths) const
{
    std::string line;
    for (size_t i = 0; i < FHeaders.size(); ++i) {
        const std::string cell = i < Cells.size() ? Cells[i] : std::string();
        const size_t width = i < Widths.size() ? Widths[i] : 0;
        const size_t len = Utf8Length(cell);
        const size_t pad = width > len ? width - len : 0;
        if (i > 0)
            line += "  ";
        line += FRight[i] ? Padding(pad) + cell : cell + Padding(pad);
    }
    TrimRight(line);
    return line + "\n";
}

std::string TTextTable::Render() const
{
    std::vector<size_t> widths(FHeaders.size());
    for (size_t i = 0; i < FHeaders.size(); ++i) {
        widths[i] = Utf8Length(FHeaders[i]);
        for (const auto& row : FRows)
            widths[i] = std::max(widths[i], Utf8Length(row[i]));
    }
    std::string out = RenderHeader(widths);
    for (const auto& row : FRows)
        out += Line(row, widths);
    return out;
}

std::vector<size_t> TTextTable::FixedWidths(size_t MinWidth) const
{
    std::vector<size_t> widths;
    for (const std::string& h : FHeaders)
        widths.push_back(std::max(MinWidth, Utf8Length(h)));
    return widths;
}

std::string TTextTable::RenderHeader(const std::vector<size_t>& Widths) const
{
    std::vector<std::string> rule;
    for (size_t i = 0; i < FHeaders.size(); ++i)
        rule.push_back(std::string(i < Widths.size() ? Widths[i] : 0, '-'));
    return Line(FHeaders, Widths) + Line(rule, Widths);
}

std::string TTextTable::RenderRow(const std::vector<std::string>& Cells, const std::vector<size_t>& Widths) const
{
    std::vector<std::string> printable;
    for (const std::string& c : Cells)
        printable.push_back(PrintableText(c));
    return Line(printable, Widths);
}

std::string RenderPairs(const std::vector<std::pair<std::string, std::string>>& Pairs)
{
    size_t width = 0;
    for (const auto& [label, value] : Pairs)
        width = std::max(width, Utf8Length(label));
    std::string out;
    for (const auto& [label, value] : Pairs) {
        std::string line = label + Padding(width - Utf8Length(label)) + "  " + PrintableText(value);
        TrimRight(line);
        out += line + "\n";
    }
    return out;
}

}  // namespace kelvo::ctl
