#pragma once
// What the fuzz targets do about component log lines (the wrapped log
// functions are in log_hooks.cpp).
//
// A fatal line normally ends the process. In a fuzz target it aborts with the
// message, so libFuzzer keeps the input as a crash, unless the target said
// that the message is an expected outcome of bad input: then the wrapper
// throws ExpectedFatal out of the component call, and the target catches it
// around that call and moves on to the next input.
#include <initializer_list>

namespace fuzz {

struct ExpectedFatal {
    const char* format;
};

// Fatal messages (their format strings, as the components pass them) that the
// calling target accepts for its inputs (string literals: only the pointers are kept).
void expect_fatal(std::initializer_list<const char*> formats);

// The format string and the text of the last critical line (empty before any).
struct Critical {
    const char* format;
    const char* text;
};
Critical last_critical();

}  // namespace fuzz
