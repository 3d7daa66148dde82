#include "layout.h"
#include "output/dnscli.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_dnscli_t);
    LAYOUT_FIELD(output_dnscli_t, _log);
    LAYOUT_FIELD(output_dnscli_t, mode);
    LAYOUT_FIELD(output_dnscli_t, pkts);
    LAYOUT_FIELD(output_dnscli_t, errs);
    LAYOUT_FIELD(output_dnscli_t, timeouts);
    LAYOUT_FIELD(output_dnscli_t, fd);
    LAYOUT_FIELD(output_dnscli_t, nonblocking);
    LAYOUT_FIELD(output_dnscli_t, conn_ok);
    LAYOUT_FIELD(output_dnscli_t, poll);
    LAYOUT_FIELD(output_dnscli_t, poll_timeout);
    LAYOUT_FIELD(output_dnscli_t, addr);
    LAYOUT_FIELD(output_dnscli_t, addr_len);
    LAYOUT_FIELD(output_dnscli_t, recvbuf);
    LAYOUT_FIELD(output_dnscli_t, pkt);
    LAYOUT_FIELD(output_dnscli_t, dnslen);
    LAYOUT_FIELD(output_dnscli_t, have_dnslen);
    LAYOUT_FIELD(output_dnscli_t, have_pkt);
    LAYOUT_FIELD(output_dnscli_t, recv);
    LAYOUT_FIELD(output_dnscli_t, pkts_recv);
    LAYOUT_FIELD(output_dnscli_t, timeout);
    LAYOUT_FIELD(output_dnscli_t, session);
    LAYOUT_FIELD(output_dnscli_t, cred);
} LAYOUT_END;
