#include "layout.h"
#include "output/udpcli.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_udpcli_t);
    LAYOUT_FIELD(output_udpcli_t, _log);
    LAYOUT_FIELD(output_udpcli_t, pkts);
    LAYOUT_FIELD(output_udpcli_t, errs);
    LAYOUT_FIELD(output_udpcli_t, fd);
    LAYOUT_FIELD(output_udpcli_t, addr);
    LAYOUT_FIELD(output_udpcli_t, addr_len);
    LAYOUT_FIELD(output_udpcli_t, recvbuf);
    LAYOUT_FIELD(output_udpcli_t, pkt);
    LAYOUT_FIELD(output_udpcli_t, pkts_recv);
    LAYOUT_FIELD(output_udpcli_t, timeout);
    LAYOUT_FIELD(output_udpcli_t, blocking);
} LAYOUT_END;
