#include "layout.h"
#include "output/tlscli.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_tlscli_t);
    LAYOUT_FIELD(output_tlscli_t, _log);
    LAYOUT_FIELD(output_tlscli_t, pkts);
    LAYOUT_FIELD(output_tlscli_t, errs);
    LAYOUT_FIELD(output_tlscli_t, fd);
    LAYOUT_FIELD(output_tlscli_t, tls_ok);
    LAYOUT_FIELD(output_tlscli_t, recvbuf);
    LAYOUT_FIELD(output_tlscli_t, pkt);
    LAYOUT_FIELD(output_tlscli_t, dnslen);
    LAYOUT_FIELD(output_tlscli_t, have_dnslen);
    LAYOUT_FIELD(output_tlscli_t, recv);
    LAYOUT_FIELD(output_tlscli_t, pkts_recv);
    LAYOUT_FIELD(output_tlscli_t, timeout);
    LAYOUT_FIELD(output_tlscli_t, session);
    LAYOUT_FIELD(output_tlscli_t, cred);
} LAYOUT_END;
