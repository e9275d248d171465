#pragma once
// Figures the benchmarks that take several rounds share.
#include <algorithm>
#include <vector>

namespace benchstats {
// The middle value of the rounds (the upper one of an even count); 0 when there are none.
inline double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace benchstats
