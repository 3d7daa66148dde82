#include "filter/ipsplit.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/detail/log.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "lib/trie.h"

namespace {

core_log_t module_log = core_log_module_init("filter.ipsplit");

constexpr filter_ipsplit_t defaults = {
    core_log_object_init("filter.ipsplit", module_log), IPSPLIT_MODE_SEQUENTIAL, IPSPLIT_OVERWRITE_NONE, 0, nullptr,
};

static_assert(std::is_standard_layout_v<filter_ipsplit_t>);
static_assert(std::is_standard_layout_v<filter_ipsplit_recv_t>);

struct Client {
    uint32_t number;
    filter_ipsplit_recv_t* recv;
};

// The public record first, so that a filter_ipsplit_t* is also an Instance*.
struct Instance {
    filter_ipsplit_t pub;
    trie_t* clients;
    uint32_t total_weight;
};

static_assert(std::is_standard_layout_v<Instance>);
static_assert(offsetof(Instance, pub) == 0);

Instance* instance(filter_ipsplit_t* self)
{
    return reinterpret_cast<Instance*>(self);
}

// One generator for the whole process, as the seed is set process-wide;
// instances on several threads draw from it with an atomic update.
std::atomic<uint32_t> random_state{1};

uint32_t next_random()
{
    uint32_t state = random_state.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = (state * 1103515245u + 12345u) & 0x7FFFFFFF;
    } while (!random_state.compare_exchange_weak(state, next, std::memory_order_relaxed));
    return next;
}

filter_ipsplit_recv_t* choose_sequential(filter_ipsplit_t* self)
{
    filter_ipsplit_recv_t* entry = self->recv;
    entry->n_clients++;
    if (entry->n_clients % entry->weight == 0) {
        self->recv = entry->next;
    }
    return entry;
}

// x in 1..total picks the entry whose share of the ring, counted from the
// cursor, contains it.
filter_ipsplit_recv_t* choose_random(Instance* inst)
{
    filter_ipsplit_t* self = &inst->pub;
    int64_t x = int64_t(next_random() % inst->total_weight) + 1;
    while (x > int64_t(self->recv->weight)) {
        x -= self->recv->weight;
        self->recv = self->recv->next;
    }
    self->recv->n_clients++;
    return self->recv;
}

const core_object_t* find_ip(const core_object_t* obj)
{
    while (obj && obj->obj_type != CORE_OBJECT_IP && obj->obj_type != CORE_OBJECT_IP6) {
        obj = obj->obj_prev;
    }
    return obj;
}

Client* client_of(Instance* inst, const uint8_t* address, uint32_t len)
{
    filter_ipsplit_t* self = &inst->pub;
    // Most packets come from known clients: the plain lookup is cheaper
    // than the insert's search and finds the same slot.
    if (trie_val_t* known = trie_get_try(inst->clients, address, len); known && *known) {
        return static_cast<Client*>(*known);
    }
    trie_val_t* slot = trie_get_ins(inst->clients, address, len);
    if (!slot) {
        TVX_FATAL(self, "trie failure");
    }
    if (*slot) {
        return static_cast<Client*>(*slot);
    }
    filter_ipsplit_recv_t* entry;
    switch (self->mode) {
    case IPSPLIT_MODE_SEQUENTIAL:
        entry = choose_sequential(self);
        break;
    case IPSPLIT_MODE_RANDOM:
        entry = choose_random(inst);
        break;
    default:
        TVX_FATAL(self, "invalid ipsplit mode");
    }
    auto* client = static_cast<Client*>(malloc(sizeof(Client)));
    if (!client) {
        TVX_FATAL(self, "out of memory");
    }
    client->number = entry->n_clients;
    client->recv = entry;
    *slot = client;
    return client;
}

// The client's number goes over the first four address bytes in host order.
void overwrite_address(filter_ipsplit_t* self, uint8_t* src, uint8_t* dst, uint32_t number)
{
    switch (self->overwrite) {
    case IPSPLIT_OVERWRITE_NONE:
        return;
    case IPSPLIT_OVERWRITE_SRC:
        memcpy(src, &number, sizeof(number));
        return;
    case IPSPLIT_OVERWRITE_DST:
        memcpy(dst, &number, sizeof(number));
        return;
    }
    TVX_FATAL(self, "invalid overwrite mode");
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_ipsplit_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    Instance* inst = instance(self);
    const core_object_t* layer = find_ip(obj);
    if (!layer) {
        self->discarded++;
        TVX_WARNING(self, "packet discarded (missing ip/ip6 object)");
        return;
    }
    // Overwriting changes the lent IP record in place, as the filter's
    // purpose is to renumber what downstream sees.
    Client* client;
    if (layer->obj_type == CORE_OBJECT_IP) {
        auto* ip = const_cast<core_object_ip_t*>(reinterpret_cast<const core_object_ip_t*>(layer));
        client = client_of(inst, ip->src, sizeof(ip->src));
        overwrite_address(self, ip->src, ip->dst, client->number);
    } else {
        auto* ip6 = const_cast<core_object_ip6_t*>(reinterpret_cast<const core_object_ip6_t*>(layer));
        client = client_of(inst, ip6->src, sizeof(ip6->src));
        overwrite_address(self, ip6->src, ip6->dst, client->number);
    }
    client->recv->recv(client->recv->ctx, obj);
}

int free_client(trie_val_t* slot, void*)
{
    free(*slot);
    *slot = nullptr;
    return 0;
}

}  // namespace

extern "C" {

core_log_t* filter_ipsplit_log()
{
    return &module_log;
}

filter_ipsplit_t* filter_ipsplit_new()
{
    auto* inst = static_cast<Instance*>(calloc(1, sizeof(Instance)));
    if (!inst) {
        TVX_FATAL(&module_log, "out of memory");
    }
    inst->pub = defaults;
    inst->clients = trie_create(nullptr);
    if (!inst->clients) {
        TVX_FATAL(&inst->pub, "out of memory");
    }
    return &inst->pub;
}

void filter_ipsplit_free(filter_ipsplit_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    Instance* inst = instance(self);
    trie_apply(inst->clients, free_client, nullptr);
    trie_free(inst->clients);
    if (filter_ipsplit_recv_t* first = self->recv) {
        filter_ipsplit_recv_t* entry = first->next;
        while (entry != first) {
            filter_ipsplit_recv_t* next = entry->next;
            free(entry);
            entry = next;
        }
        free(first);
    }
    free(inst);
}

void filter_ipsplit_add(filter_ipsplit_t* self, core_receiver_t recv, void* ctx, uint32_t weight)
{
    TVX_CHECK_SELF(self, module_log);
    Instance* inst = instance(self);
    if (!recv) {
        TVX_FATAL(self, "recv is nil");
    }
    if (weight == 0) {
        TVX_FATAL(self, "weight must be positive integer");
    }
    // The random draw takes the total modulo; it must not wrap.
    if (weight > UINT32_MAX - inst->total_weight) {
        TVX_FATAL(self, "total weight exceeds %u", UINT32_MAX);
    }
    auto* entry = static_cast<filter_ipsplit_recv_t*>(calloc(1, sizeof(filter_ipsplit_recv_t)));
    if (!entry) {
        TVX_FATAL(self, "out of memory");
    }
    entry->recv = recv;
    entry->ctx = ctx;
    entry->weight = weight;
    if (!self->recv) {
        entry->next = entry;
        self->recv = entry;
    } else {
        entry->next = self->recv->next;
        self->recv->next = entry;
    }
    inst->total_weight += weight;
}

void filter_ipsplit_srand(unsigned int seed)
{
    random_state.store(seed, std::memory_order_relaxed);
}

core_receiver_t filter_ipsplit_receiver(filter_ipsplit_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver(s) set");
    }
    return receive;
}

}  // extern "C"
