#include <gnutls/gnutls.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "core/log.h"
#include "layout.h"

extern "C" void layout_ck_types(void);

LAYOUT_REGISTER {
    layout_ck_types();
    LAYOUT_TYPE(gnutls_certificate_credentials_t);
    LAYOUT_TYPE(gnutls_session_t);
    LAYOUT_TYPE(pthread_cond_t);
    LAYOUT_TYPE(pthread_mutex_t);
    LAYOUT_TYPE(pthread_t);
    layout::type<struct pollfd>("struct pollfd");
    layout::type<struct sockaddr_storage>("struct sockaddr_storage");
    layout::type<ssize_t>("luajit_ssize_t");

    LAYOUT_TYPE(core_log_settings_t);
    LAYOUT_FIELD(core_log_settings_t, debug);
    LAYOUT_FIELD(core_log_settings_t, info);
    LAYOUT_FIELD(core_log_settings_t, notice);
    LAYOUT_FIELD(core_log_settings_t, warning);
    LAYOUT_FIELD(core_log_settings_t, display_file_line);
    LAYOUT_TYPE(core_log_t);
    LAYOUT_FIELD(core_log_t, name);
    LAYOUT_FIELD(core_log_t, is_obj);
    LAYOUT_FIELD(core_log_t, settings);
    LAYOUT_FIELD(core_log_t, module);
} LAYOUT_END;
