// Synthetic onset strengths for the beat trackers' tests.
#pragma once

#include <cstddef>
#include <vector>

/** An onset strength of 1 over `length` hops with clicks at the hops `at` (rounded; those
 *  outside left out), their heights taken from `heights` in turn. */
inline std::vector<float> clickStrength(const std::vector<double> &at, const std::vector<float> &heights,
                                        size_t length) {
    std::vector<float> s(length, 1.0f);
    for (size_t i = 0; i < at.size(); ++i)
        if (at[i] >= 0 && at[i] < static_cast<double>(length))
            s[static_cast<size_t>(at[i] + 0.5)] = heights[i % heights.size()];
    return s;
}

/** Click hops from `start` whose spacing goes from `first` to `last` hops evenly, click by click. */
inline std::vector<double> drifting(double start, double first, double last, int count) {
    std::vector<double> at{start};
    for (int i = 1; i < count; ++i)
        at.push_back(at.back() + first + (last - first) * (i - 1) / (count - 2));
    return at;
}
