// Where the code and the globals of every run are placed.
//
// A run touches each page of code and data it uses once, and under a
// hypervisor that shadows the page tables every first touch of a page costs
// several microseconds: about as much as a whole passing test. The code a
// clean run executes is therefore gathered in one stretch of the text (the
// toolchain's hot subsection, laid out before the rest of the code), and the
// small globals it writes in one section of their own (laid out by the
// linker after the initialized data, as a whole), instead of both being
// spread over a dozen pages among code and data that only reports use.
#pragma once

// A function every run executes, failing or not, or every run on a terminal
// (where the progress display starts and joins its update thread).
#define XOV_RUN_PATH [[gnu::hot]]

// A mutable global every run writes. Not for constants (the section is
// writable) nor for large buffers of which a run writes more than the start
// (each page of the section should be one a run touches anyway).
#define XOV_RUN_DATA [[gnu::section("xov_run_data")]]


// A buffer a clean run never writes: after all the zero-initialized data, so
// that it parts no globals a run writes from one another.
#define XOV_IDLE_BUFFER [[gnu::section(".lbss.xov_idle")]]
