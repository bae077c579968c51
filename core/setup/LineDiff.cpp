// LineDiff: common head and tail trimmed, then a longest-common-subsequence table over the rest.
#include "setup/LineDiff.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace vantorelle::LineDiff {
namespace {

using Lines = std::vector<std::string>;

void middleDiff(const std::string* x, std::size_t n, const std::string* y, std::size_t m, std::vector<Line>& out)
{
    auto emit = [&out](Kind kind, const std::string& text) { out.push_back(Line{kind, text}); };
    if (n == 0 || m == 0 || n * m > kMaxCells) {
        for (std::size_t i = 0; i < n; ++i) {
            emit(Kind::removed, x[i]);
        }
        for (std::size_t j = 0; j < m; ++j) {
            emit(Kind::added, y[j]);
        }
        return;
    }

    // T[i][j] = length of the longest common subsequence of x[i...] and y[j...].
    const std::size_t width = m + 1;
    std::vector<std::uint32_t> table((n + 1) * width, 0);
    auto at = [&table, width](std::size_t i, std::size_t j) -> std::uint32_t& { return table[i * width + j]; };
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            at(i, j) = x[i] == y[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
        }
    }

    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n && j < m) {
        if (x[i] == y[j]) {
            emit(Kind::context, x[i]);
            ++i;
            ++j;
        } else if (at(i + 1, j) < at(i, j + 1)) {
            emit(Kind::added, y[j]);
            ++j;
        } else {
            emit(Kind::removed, x[i]);
            ++i;
        }
    }
    for (; i < n; ++i) {
        emit(Kind::removed, x[i]);
    }
    for (; j < m; ++j) {
        emit(Kind::added, y[j]);
    }
}

bool isChange(const Line& line)
{
    return line.kind == Kind::added || line.kind == Kind::removed;
}

} // namespace

std::vector<std::string> split(std::string_view text)
{
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
        lines.emplace_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

std::vector<Line> diff(std::string_view before, std::string_view after)
{
    const Lines a = split(before);
    const Lines b = split(after);
    const std::size_t n = a.size();
    const std::size_t m = b.size();

    std::size_t head = 0;
    while (head < n && head < m && a[head] == b[head]) {
        ++head;
    }
    std::size_t tail = 0;
    while (n - tail > head && m - tail > head && a[n - tail - 1] == b[m - tail - 1]) {
        ++tail;
    }

    std::vector<Line> out;
    out.reserve(std::max(n, m) + 8);
    for (std::size_t k = 0; k < head; ++k) {
        out.push_back(Line{Kind::context, a[k]});
    }
    middleDiff(a.data() + head, n - tail - head, b.data() + head, m - tail - head, out);
    for (std::size_t k = n - tail; k < n; ++k) {
        out.push_back(Line{Kind::context, a[k]});
    }
    return out;
}

std::vector<Line> unified(std::string_view before, std::string_view after, int context)
{
    const std::vector<Line> lines = diff(before, after);
    if (lines.empty()) {
        return {};
    }
    const std::size_t reach = static_cast<std::size_t>(std::max(context, 0));
    // Each change shows the lines within reach of it; a running sum over interval edges marks them.
    std::vector<int> edges(lines.size() + 1, 0);
    for (std::size_t c = 0; c < lines.size(); ++c) {
        if (isChange(lines[c])) {
            edges[c >= reach ? c - reach : 0] += 1;
            edges[std::min(lines.size() - 1, c + reach) + 1] -= 1;
        }
    }
    std::vector<bool> shown(lines.size(), false);
    int covering = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        covering += edges[k];
        shown[k] = covering > 0;
    }

    std::vector<Line> out;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (shown[k]) {
            out.push_back(lines[k]);
        } else if (out.empty() || out.back().kind != Kind::skipped) {
            out.push_back(Line{Kind::skipped, {}});
        }
    }
    return out;
}

Counts counts(std::string_view before, std::string_view after)
{
    const std::vector<Line> lines = diff(before, after);
    Counts result;
    std::optional<std::size_t> first;
    std::size_t last = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].kind == Kind::added) {
            ++result.added;
        } else if (lines[k].kind == Kind::removed) {
            ++result.removed;
        } else {
            continue;
        }
        if (!first) {
            first = k;
        }
        last = k;
    }
    if (first) {
        result.touchesTop = *first == 0;
        result.touchesBottom = last == lines.size() - 1;
    }
    return result;
}

} // namespace vantorelle::LineDiff
