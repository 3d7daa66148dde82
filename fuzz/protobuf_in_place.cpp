// Any bytes as one dnstap record, decoded by the in-place fast path and by
// protobuf-c: whenever the fast path decodes a record, protobuf-c must too,
// to the same known fields.
#include <cstddef>
#include <cstdint>

#include "../tests/unit/support/protobuf_compare.h"
#include "dnstap.pb-c.h"
#include "support/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tvx::protobuf::Plan plan(dnstap__dnstap__descriptor);
    const pbcompare::Outcome outcome = pbcompare::run(plan, dnstap__dnstap__descriptor, data, size);
    FUZZ_CHECK(outcome.agree());
    return 0;
}
