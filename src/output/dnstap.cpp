#include "output/dnstap.h"

#include <fstrm.h>
#include <type_traits>

#include "core/detail/log.h"
#include "core/object/dnstap.h"

static_assert(std::is_standard_layout_v<output_dnstap_t>);

namespace {

core_log_t module_log = core_log_module_init("output.dnstap");

constexpr output_dnstap_t make_defaults()
{
    output_dnstap_t record{};
    record._log = core_log_object_init("output.dnstap", module_log);
    return record;
}
constexpr output_dnstap_t defaults = make_defaults();

constexpr char content_type[] = "protobuf:dnstap.Dnstap";

fstrm_writer* writer_of(output_dnstap_t* self)
{
    return static_cast<fstrm_writer*>(self->writer);
}

const core_object_dnstap_t* find_dnstap(const core_object_t* obj)
{
    for (; obj; obj = obj->obj_prev) {
        if (obj->obj_type == CORE_OBJECT_DNSTAP) {
            return reinterpret_cast<const core_object_dnstap_t*>(obj);
        }
    }
    return nullptr;
}

void write_record(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<output_dnstap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!self->writer) {
        TVX_FATAL(self, "dnstap file not opened");
    }
    const core_object_dnstap_t* tap = find_dnstap(obj);
    if (!tap || !tap->frame) {
        return;
    }
    if (fstrm_writer_write(writer_of(self), tap->frame, tap->frame_len) != fstrm_res_success) {
        // Told once: every later write fails the same way.
        if (!self->failed) {
            TVX_CRITICAL(self, "could not write a dnstap record");
        }
        self->failed = 1;
        return;
    }
    self->frames++;
}

}  // namespace

extern "C" core_log_t* output_dnstap_log()
{
    return &module_log;
}

extern "C" void output_dnstap_init(output_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

// A writer dropped while open still ends its file with the STOP frame and
// flushes what it holds.
extern "C" void output_dnstap_destroy(output_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    output_dnstap_close(self);
}

extern "C" int output_dnstap_open(output_dnstap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    if (!file) {
        TVX_FATAL(self, "file is nil");
    }
    if (self->writer) {
        TVX_FATAL(self, "dnstap file already opened");
    }
    fstrm_file_options* file_options = fstrm_file_options_init();
    fstrm_writer_options* writer_options = fstrm_writer_options_init();
    fstrm_file_options_set_file_path(file_options, file);
    fstrm_writer_options_add_content_type(writer_options, content_type, sizeof(content_type) - 1);
    fstrm_writer* writer = fstrm_file_writer_init(file_options, writer_options);
    fstrm_file_options_destroy(&file_options);
    fstrm_writer_options_destroy(&writer_options);
    // The file is created by the open; a path that cannot be written fails here.
    if (!writer || fstrm_writer_open(writer) != fstrm_res_success) {
        TVX_CRITICAL(self, "cannot open %s for writing dnstap", file);
        if (writer) {
            fstrm_writer_destroy(&writer);
        }
        return -1;
    }
    self->writer = writer;
    self->frames = 0;
    self->failed = 0;
    return 0;
}

extern "C" void output_dnstap_close(output_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->writer) {
        return;
    }
    fstrm_writer* writer = writer_of(self);
    if (fstrm_writer_close(writer) != fstrm_res_success) {
        TVX_CRITICAL(self, "could not finish the dnstap file");
        self->failed = 1;
    }
    fstrm_writer_destroy(&writer);
    self->writer = nullptr;
}

extern "C" int output_dnstap_have_errors(output_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return self->failed;
}

extern "C" core_receiver_t output_dnstap_receiver(output_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return write_record;
}
