#include "core/thread.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(core_thread_item_t);
    LAYOUT_FIELD(core_thread_item_t, next);
    LAYOUT_FIELD(core_thread_item_t, ptr);
    LAYOUT_FIELD(core_thread_item_t, type);
    LAYOUT_FIELD(core_thread_item_t, module);
    LAYOUT_FIELD(core_thread_item_t, str);
    LAYOUT_FIELD(core_thread_item_t, num);
    LAYOUT_TYPE(core_thread_t);
    LAYOUT_FIELD(core_thread_t, _log);
    LAYOUT_FIELD(core_thread_t, thr_id);
    LAYOUT_FIELD(core_thread_t, stack);
    LAYOUT_FIELD(core_thread_t, last);
    LAYOUT_FIELD(core_thread_t, at);
    LAYOUT_FIELD(core_thread_t, lock);
    LAYOUT_FIELD(core_thread_t, cond);
    LAYOUT_FIELD(core_thread_t, bytecode);
    LAYOUT_FIELD(core_thread_t, bytecode_len);
} LAYOUT_END;
