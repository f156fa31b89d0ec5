// Small helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <vector>

namespace v7bench
{

// The middle of the measured times (0 when there are none): one slow round on a
// busy machine does not move it.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace v7bench
