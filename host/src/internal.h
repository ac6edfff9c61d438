// internal.h: the runtime's own records, shared by the files of host/src.
//
// Process-wide (never freed): the symbol table, the class registry and the loaded libraries.
// Per Host (a detail::runtime, reached from the C calls through current()): boxes, outlets, the
// signal chain, buffer~ objects, the console and the captured outlet lists. Message-thread calls
// and run_vector() (audio thread) meet only at the chain mutex, the shared words of the records
// and the lock-free list capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ext_host.h"
#include "grainhost/host.hpp"

// A class: what setup() and addmess() registered for one name. Never freed.
struct messlist {
    struct handler {
        method fn = nullptr;
        std::vector<short> types; // without the closing A_NOTHING
    };
    t_symbol *name = nullptr;
    method creator = nullptr;
    method destroyer = nullptr;
    long size = 0;                    // bytes of an object record
    std::vector<short> creator_types; // type list of the creation routine
    std::unordered_map<t_symbol *, handler> methods;
    method bang = nullptr;
    method flt = nullptr;
    bool signal = false;              // z_add_signalmethod was called
};

namespace grainhost::detail {

// ---- process-wide ---------------------------------------------------------------------------------
t_messlist *find_class(t_symbol *name);  // nullptr when no class of that name is registered
t_messlist *buffer_class();              // the built-in "buffer~" class
// Loads <name>.so from the folders and runs its main (at most once per library per process).
// Returns an empty string on success, else the console line that explains the failure.
std::string load_library(const std::string &name, const std::vector<std::string> &folders);
std::vector<std::string> search_folders(const std::vector<std::string> &configured);

// NB: A_SYM of a missing or non-symbol argument reads the empty symbol.
t_symbol *empty_symbol();
void bind_symbol(t_symbol *s, t_object *thing); // atomic store of s_thing

// A registered handler as the signature its type codes imply. NB: goes through void (*)(void),
// the one cast between function types that does not warn.
template <class F>
F as_fn(method m) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(m));
}
template <class F>
F as_fn(t_int word) {
    return reinterpret_cast<F>(word);
}

// ---- console context --------------------------------------------------------------------------
// The box whose handler runs on this thread (0: none). Console lines carry it.
extern thread_local BoxId tl_box;
// True on the thread running perform routines, for the length of run_vector().
extern thread_local bool tl_audio;

struct box_scope {
    BoxId saved;
    explicit box_scope(BoxId id) noexcept : saved(tl_box) { tl_box = id; }
    ~box_scope() { tl_box = saved; }
    box_scope(const box_scope &) = delete;
    box_scope &operator=(const box_scope &) = delete;
};

// ---- per Host -----------------------------------------------------------------------------------
struct box;

struct outlet_rec {
    box *owner = nullptr;
    int made = 0;         // 0 for the first outlet made, 1 for the next, ...
    bool signal = false;
};

struct perform_entry {
    std::vector<t_int> words; // [routine, w1 .. wn]
};

struct connection {
    box *src;
    int src_outlet; // index among src's outlets, 0 = leftmost
    box *dst;
    int dst_inlet;  // 0-based signal inlet
};

struct box {
    BoxId id = 0;
    t_messlist *cls = nullptr;
    t_object *obj = nullptr;       // what the creation routine returned
    void *record = nullptr;        // the record newobject made for this box (owned)
    int signal_inlets = 0;         // from z_dsp_setup
    std::vector<std::unique_ptr<outlet_rec>> outlets; // in the order made
    std::vector<bool> fed;         // per signal inlet
    std::vector<std::vector<float>> feed; // per signal inlet: the embedder's data (fed inlets)

    // Chain data, rebuilt by every chain build; read by run_vector under the chain mutex.
    std::vector<perform_entry> performs;
    std::vector<std::vector<float>> in_vec;  // per signal inlet
    std::vector<std::vector<float>> out_own; // per signal outlet without an aliased inlet
    std::vector<float *> out_vec;            // per signal outlet, left to right
    std::vector<std::vector<const float *>> in_sources; // per signal inlet: source vectors
    std::vector<t_signal> sigs;
    std::vector<t_signal *> sig_ptrs;
    std::vector<short> counts;

    int inlets() const { return signal_inlets > 0 ? signal_inlets : 1; }
    int outlet_count() const { return static_cast<int>(outlets.size()); }
    // Outlet made at index `made`, counted 1-based from the left.
    int outlet_number(int made) const { return outlet_count() - made; }
    outlet_rec *outlet_at(int left_index) const { // 0 = leftmost
        return outlets[outlets.size() - 1 - static_cast<size_t>(left_index)].get();
    }
    int signal_outlet_count() const;
    // Index (0 = leftmost among signal outlets) of the outlet at left_index, or -1.
    int signal_index_of(int left_index) const;
};

// The buffer~ object record. valid, inuse, samples, frames and channels are shared words: the
// message thread writes them (between vectors), the audio thread reads them (accessors).
struct buffer_rec {
    t_object b_obj;
    std::atomic<int32_t> valid;      // msg -> dsp
    std::atomic<int32_t> inuse;      // msg -> dsp
    std::atomic<float *> samples;    // msg -> dsp
    std::atomic<int32_t> frames;     // msg -> dsp
    std::atomic<int32_t> channels;   // msg -> dsp
    t_symbol *name = nullptr;
};

struct buffer_entry {
    buffer_rec *rec = nullptr;
    std::unique_ptr<float[]> memory;
};

// An outlet list as captured on the audio thread: raw atoms, symbols as pointers.
struct captured_list {
    static constexpr int max_atoms = 16;
    BoxId box;
    int outlet;
    uint64_t vector;
    short argc;
    t_atom atoms[max_atoms];
};

struct runtime {
    explicit runtime(HostOptions o);

    HostOptions options;

    // Boxes, in creation order (ids grow). Changed only under chain_mutex.
    std::map<BoxId, std::unique_ptr<box>> boxes;
    BoxId next_id = 1;
    box *creating = nullptr;               // the box whose creation routine runs
    std::vector<void *> stray_records;     // newobject outside a creation routine
    std::vector<connection> connections;

    // Buffers by name, and the records that were replaced or deleted.
    std::map<std::string, buffer_entry> buffers;
    std::vector<buffer_rec *> retired;

    // The signal chain.
    std::recursive_mutex chain_mutex;
    std::atomic<int32_t> chain_waiters{0}; // message-thread callers waiting for chain_mutex
    bool running = false;
    std::atomic<float> sr{44100.0f};
    int n = 0;
    std::vector<box *> order;
    box *dsp_box = nullptr;                // the box whose "dsp" handler runs (dsp_add target)
    std::atomic<uint64_t> vectors{0};

    // Console.
    mutable std::mutex console_mutex;
    std::vector<ConsoleLine> lines;

    // Outlet lists: captured on the audio thread into a fixed ring (single producer: the thread
    // in run_vector; single consumer: whoever holds lists_mutex), moved into `lists` on demand.
    mutable std::mutex lists_mutex;
    mutable std::map<BoxId, std::vector<OutletList>> lists;
    std::unique_ptr<captured_list[]> ring;
    uint32_t ring_capacity = 0;            // a power of two; 0 before the first dsp_start
    std::atomic<uint32_t> ring_head{0};    // dsp -> msg (consumer position)
    std::atomic<uint32_t> ring_tail{0};    // msg -> dsp (producer position)
    std::atomic<uint64_t> dropped{0};

    // Threaded mode: the audio thread runs vectors until audio_stop is set.
    std::thread audio_thread;
    std::atomic<bool> audio_stop{false};   // msg -> dsp
    Host::VectorHook hook_before;          // set before the thread starts, cleared after it ends
    Host::VectorHook hook_after;
    void audio_loop();

    // Allocation failure hook: remaining successes, < 0 never fails.
    std::atomic<int64_t> alloc_budget{-1};

    // Console and lists.
    void console_add(bool is_error, std::string text);
    void drain_ring() const; // lists_mutex held
    void capture_list(box *b, int outlet, short argc, const t_atom *argv);

    // Chain (chain_mutex held).
    void build_chain();
    void rebuild_if_running() { if (running) build_chain(); }
    void run();
    void free_chain();
    void detach(box *b); // z_dsp_free

    // Buffers (chain_mutex held).
    buffer_rec *buffer_make(const std::string &name, const std::vector<float> &samples, int channels,
                            std::unique_ptr<float[]> &memory);
    void buffer_retire(buffer_rec *rec);
    void buffers_free_all();

    box *find(BoxId id) const;
    box *box_of(void *object) const; // from the record's o_host
    void destroy_box(box *b);        // chain_mutex held
};

// Holds chain_mutex, and while it waits for it tells the audio thread of threaded mode to leave the
// mutex free after its vector (a std::mutex is not fair: a loop that unlocks and locks at once could
// keep a message-thread change waiting for many vectors).
class chain_guard {
public:
    explicit chain_guard(runtime &r) : r_(r) {
        r_.chain_waiters.fetch_add(1, std::memory_order_relaxed);
        r_.chain_mutex.lock();
        r_.chain_waiters.fetch_sub(1, std::memory_order_relaxed);
    }
    ~chain_guard() { r_.chain_mutex.unlock(); }
    chain_guard(const chain_guard &) = delete;
    chain_guard &operator=(const chain_guard &) = delete;

private:
    runtime &r_;
};

runtime *current();
void set_current(runtime *r);

// Converts a message argument for a handler of the given type code.
t_atom_long atom_to_long(const Atom *a);
double atom_to_double(const Atom *a);
t_symbol *atom_to_symbol(const Atom *a);
t_atom atom_to_c(const Atom &a);
Atom atom_from_c(const t_atom &a);

} // namespace grainhost::detail

namespace grainhost {
struct Host::Impl : detail::runtime {
    using detail::runtime::runtime;
};
} // namespace grainhost
