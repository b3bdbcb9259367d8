#pragma once

// The chart's count axis: whole numbers at even steps (1, 2, 5, 10, 20, ...),
// at most a few ticks, the top a step's multiple at or above the largest bar.

#include <QtGlobal>

struct CountAxis {
    int top = 1;
    int step = 1;
    int ticks() const { return top / step + 1; }
};

inline CountAxis count_axis(int largest, int max_steps = 4)
{
    int step = 1;
    for (int decade = 1;; decade *= 10) {
        for (int m : {1, 2, 5}) {
            step = m * decade;
            if (qint64(largest) <= qint64(step) * max_steps)
                return {step * ((largest > 0 ? largest + step - 1 : step) / step), step};
        }
    }
}
