#include "input/capture.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_capture_t);
    LAYOUT_FIELD(input_capture_t, _log);
    LAYOUT_FIELD(input_capture_t, compression);
    LAYOUT_FIELD(input_capture_t, format);
    LAYOUT_FIELD(input_capture_t, is_regular);
    LAYOUT_FIELD(input_capture_t, is_stdin);
    LAYOUT_FIELD(input_capture_t, stream);
    LAYOUT_FIELD(input_capture_t, prefix);
    LAYOUT_FIELD(input_capture_t, prefix_len);
    LAYOUT_FIELD(input_capture_t, error);
} LAYOUT_END;
