#pragma once
#include <cstdint>

// A text progress bar "[####    ]" on one console line.
struct ProgressBar {
    uint32_t width;  // character cells between the brackets
    uint32_t total;  // value of a full bar
    uint32_t drawn;  // "#" cells drawn so far
    uint8_t active;  // set once the empty bar has been drawn
    int32_t steps;   // the caller's own update counter
};

void progress_init(ProgressBar& bar, uint32_t width, uint32_t total);
void progress_start(ProgressBar& bar);
void progress_update(ProgressBar& bar, uint32_t done);
void progress_finish(ProgressBar& bar);
