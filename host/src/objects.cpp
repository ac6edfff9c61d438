// objects.cpp: object records, inlets and outlets, outlet lists and the memory calls.
//
// newobject, z_dsp_setup and outlet_new run inside a creation routine (message thread). outlet_list
// runs on either thread: inside run_vector (audio thread) it copies the raw atoms into the
// preallocated ring without allocating or locking; elsewhere it stores the list at once.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace grainhost::detail {

int box::signal_outlet_count() const {
    int k = 0;
    for (const auto &o : outlets) k += o->signal ? 1 : 0;
    return k;
}

int box::signal_index_of(int left_index) const {
    if (left_index < 0 || left_index >= outlet_count()) return -1;
    if (!outlet_at(left_index)->signal) return -1;
    int k = 0;
    for (int i = 0; i < left_index; ++i) k += outlet_at(i)->signal ? 1 : 0;
    return k;
}

box *runtime::box_of(void *object) const {
    if (!object) return nullptr;
    return static_cast<box *>(static_cast<t_object *>(object)->o_host);
}

// Audio thread (single producer).
void runtime::capture_list(box *b, int outlet, short argc, const t_atom *argv) {
    const uint32_t tail = ring_tail.load(std::memory_order_relaxed);
    const uint32_t head = ring_head.load(std::memory_order_acquire);
    if (ring_capacity == 0 || tail - head >= ring_capacity) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    captured_list &c = ring[tail & (ring_capacity - 1)];
    c.box = b->id;
    c.outlet = outlet;
    c.vector = vectors.load(std::memory_order_relaxed);
    if (argc < 0) argc = 0;
    if (argc > captured_list::max_atoms) argc = captured_list::max_atoms;
    c.argc = argc;
    if (argc > 0) std::memcpy(c.atoms, argv, sizeof(t_atom) * static_cast<size_t>(argc));
    ring_tail.store(tail + 1, std::memory_order_release);
}

// Message side (single consumer: lists_mutex held).
void runtime::drain_ring() const {
    if (ring_capacity == 0) return;
    uint32_t head = ring_head.load(std::memory_order_relaxed);
    const uint32_t tail = ring_tail.load(std::memory_order_acquire);
    auto *self = const_cast<runtime *>(this);
    while (head != tail) {
        const captured_list &c = ring[head & (ring_capacity - 1)];
        OutletList l;
        l.outlet = c.outlet;
        l.vector = c.vector;
        for (int i = 0; i < c.argc; ++i) l.atoms.push_back(atom_from_c(c.atoms[i]));
        lists[c.box].push_back(std::move(l));
        ++head;
        self->ring_head.store(head, std::memory_order_release);
    }
}

} // namespace grainhost::detail

using namespace grainhost::detail;

extern "C" {

EXT_EXPORT void *newobject(t_messlist *class_handle) {
    runtime *r = current();
    if (!class_handle || !r) return nullptr;
    const size_t size = static_cast<size_t>(class_handle->size) < sizeof(t_pxobject)
                            ? sizeof(t_pxobject)
                            : static_cast<size_t>(class_handle->size);
    void *rec = std::calloc(1, size);
    if (!rec) return nullptr;
    auto *ob = static_cast<t_object *>(rec);
    ob->o_class = class_handle;
    box *b = r->creating;
    if (b && !b->record) {
        b->record = rec;
        ob->o_host = b;
        static_cast<t_pxobject *>(rec)->z_host = b;
    } else {
        // NB: a second record, or one made outside a creation routine, belongs to no box; the
        // Host frees it when it is destroyed.
        r->stray_records.push_back(rec);
    }
    return rec;
}

EXT_EXPORT void z_dsp_setup(t_pxobject *x, long signal_inlets) {
    runtime *r = current();
    if (!x || !r) return;
    box *b = r->box_of(x);
    if (!b) return;
    if (signal_inlets < 0) signal_inlets = 0;
    if (signal_inlets > 256) signal_inlets = 256;
    b->signal_inlets = static_cast<int>(signal_inlets);
    b->fed.assign(static_cast<size_t>(signal_inlets), false);
    b->feed.assign(static_cast<size_t>(signal_inlets), {});
    x->z_host = b;
}

EXT_EXPORT void z_dsp_free(t_pxobject *x) {
    runtime *r = current();
    if (!x || !r) return;
    box *b = r->box_of(x);
    if (!b) return;
    chain_guard lock(*r);
    r->detach(b);
}

EXT_EXPORT void *outlet_new(void *x, const char *type) {
    runtime *r = current();
    if (!x || !r) return nullptr;
    box *b = r->box_of(x);
    if (!b) return nullptr;
    auto o = std::make_unique<outlet_rec>();
    o->owner = b;
    o->made = b->outlet_count();
    o->signal = type && std::strcmp(type, "signal") == 0;
    outlet_rec *raw = o.get();
    // NB: outlets only change inside a creation routine, before the box joins the chain.
    b->outlets.push_back(std::move(o));
    return raw;
}

EXT_EXPORT void *outlet_list(void *outlet, t_symbol *selector, short argc, t_atom *argv) {
    (void)selector;
    runtime *r = current();
    auto *o = static_cast<outlet_rec *>(outlet);
    if (!r || !o || !o->owner) return nullptr;
    if (argc > 0 && !argv) argc = 0;
    box *b = o->owner;
    const int number = b->outlet_number(o->made);
    if (tl_audio) {
        r->capture_list(b, number, argc, argv);
        return nullptr;
    }
    grainhost::OutletList l;
    l.outlet = number;
    l.vector = r->vectors.load(std::memory_order_relaxed);
    for (int i = 0; i < argc; ++i) l.atoms.push_back(atom_from_c(argv[i]));
    std::lock_guard<std::mutex> lock(r->lists_mutex);
    r->drain_ring(); // keeps the order with lists sent earlier from perform routines
    r->lists[b->id].push_back(std::move(l));
    return nullptr;
}

EXT_EXPORT t_symbol *object_classname(void *x) {
    if (!x) return nullptr;
    t_messlist *c = static_cast<t_object *>(x)->o_class;
    return c ? c->name : nullptr;
}

EXT_EXPORT int32_t z_isdisabled(t_pxobject *x) {
    if (!x) return 0;
    return std::atomic_ref<int32_t>(x->z_disabled).load(std::memory_order_relaxed);
}

// ---- memory ------------------------------------------------------------------------------------

static char *host_alloc(long size) {
    if (size <= 0) return nullptr;
    if (runtime *r = current()) {
        int64_t left = r->alloc_budget.load(std::memory_order_relaxed);
        while (left >= 0) {
            if (left == 0) return nullptr;
            if (r->alloc_budget.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) break;
        }
    }
    // NB: like the original host, the block is not cleared.
    return static_cast<char *>(std::malloc(static_cast<size_t>(size)));
}

EXT_EXPORT char *sysmem_newptr(long size) { return host_alloc(size); }
EXT_EXPORT void sysmem_freeptr(void *block) { std::free(block); }
EXT_EXPORT char *t_getbytes(long size) { return host_alloc(size); }
EXT_EXPORT void t_freebytes(void *block, long size) {
    (void)size;
    std::free(block);
}

} // extern "C"
