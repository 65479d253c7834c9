#include "console/progress_bar.h"

#include <cstdio>

void progress_init(ProgressBar& bar, uint32_t width, uint32_t total) {
    bar.width = width;
    bar.total = total;
    bar.drawn = 0;
    bar.active = 0;
    bar.steps = 0;
}

void progress_start(ProgressBar& bar) {
    putchar('[');
    for (uint32_t i = 0; i < bar.width; i++) putchar(' ');
    putchar(']');
    fflush(stdout);
    bar.active = 1;
}

void progress_update(ProgressBar& bar, uint32_t done) {
    if (!bar.active) return;
    // A total of 0 would divide by zero: such a bar counts as full.
    uint32_t cells = bar.total ? (done * bar.width) / bar.total : bar.width;
    if (cells > bar.width) cells = bar.width;
    if (bar.drawn >= cells) return;
    bar.drawn = cells;
    printf("\r[");
    fflush(stdout);
    for (uint32_t i = 0; i < cells; i++) putchar('#');
    fflush(stdout);
}

void progress_finish(ProgressBar& bar) {
    if (!bar.active) return;
    putchar('\n');
    fflush(stdout);
}
