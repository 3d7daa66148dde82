#include "layout.h"
#include "output/tcpcli.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_tcpcli_t);
    LAYOUT_FIELD(output_tcpcli_t, _log);
    LAYOUT_FIELD(output_tcpcli_t, pkts);
    LAYOUT_FIELD(output_tcpcli_t, errs);
    LAYOUT_FIELD(output_tcpcli_t, fd);
    LAYOUT_FIELD(output_tcpcli_t, recvbuf);
    LAYOUT_FIELD(output_tcpcli_t, pkt);
    LAYOUT_FIELD(output_tcpcli_t, dnslen);
    LAYOUT_FIELD(output_tcpcli_t, have_dnslen);
    LAYOUT_FIELD(output_tcpcli_t, recv);
    LAYOUT_FIELD(output_tcpcli_t, pkts_recv);
    LAYOUT_FIELD(output_tcpcli_t, timeout);
    LAYOUT_FIELD(output_tcpcli_t, blocking);
} LAYOUT_END;
