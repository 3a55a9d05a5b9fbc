// The median and the range of a set of figures, for the programs that print
// each figure over several rounds.
#pragma once

#include <algorithm>
#include <vector>

struct Spread {
    double median, low, high;
};

inline Spread spread_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}
