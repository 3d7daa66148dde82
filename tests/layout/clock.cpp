#include "layout.h"
#include "lib/clock.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(lib_clock_clkid_t);
} LAYOUT_END;
