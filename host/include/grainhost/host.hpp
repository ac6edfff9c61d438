// grainhost/host.hpp: the C++ embedding API of our host, for tests, tools and benchmarks.
//
// A Host loads externals by class name, creates boxes, delivers messages, owns buffer~ objects,
// connects signals and runs signal vectors. One Host exists at a time in a process (the C calls of
// ext_host.h reach the current one). All calls are made from one thread (the message thread), except
// run_vector(), which may run on another thread (the audio thread) while messages are delivered; the
// host applies buffer changes between vectors, never while a perform routine runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace grainhost {

// One message argument as a patcher types it: 4 is a long, 4.0 a float, a word a symbol.
struct Atom {
    enum class Type : uint8_t { Long, Float, Symbol };
    Type type = Type::Long;
    int32_t l = 0;
    float f = 0.0f;
    std::string s;

    static Atom lng(int32_t v) { Atom a; a.type = Type::Long; a.l = v; return a; }
    static Atom flt(float v) { Atom a; a.type = Type::Float; a.f = v; return a; }
    static Atom sym(std::string v) { Atom a; a.type = Type::Symbol; a.s = std::move(v); return a; }
    bool operator==(const Atom &o) const;
    std::string str() const; // "4", "4.5", "name": as a console shows it
};
using Atoms = std::vector<Atom>;

// Parses one patcher word: "4" long, "4.0" / "1e3" / "-0.5" float, anything else a symbol.
Atom parse_atom(const std::string &word);

using BoxId = int32_t; // 1, 2, ... in creation order; never reused within a Host

// One console line, in the order posted. box is the box whose handler was running (0: none, e.g.
// a class's main). is_error marks lines sent through error().
struct ConsoleLine {
    BoxId box = 0;
    bool is_error = false;
    std::string text;
};

// One list sent out of an outlet.
struct OutletList {
    int outlet = 0;         // 1-based outlet of the box, counted from the left
    uint64_t vector = 0;    // vectors run before it was sent
    Atoms atoms;
};

struct HostOptions {
    std::vector<std::string> search_path; // folders searched for <class>.so; empty: GRAINHOST_PATH
                                          // (colon-separated) then the build's externals folder
    bool alias_vectors = false;           // a box's outlet k shares memory with its inlet k
    bool echo_console = false;            // also print console lines to stderr as they come
};

class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host(); // destroys every box, then every buffer~
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // ---- classes and boxes -------------------------------------------------------------------
    // Loads <class_name>.so from the search path unless the class is known; main runs once per
    // library per process. false (and a console line) when the library or its main is missing.
    bool load(const std::string &class_name);
    // Creates a box: loads the class if needed, calls its creation routine with the atoms. nullopt
    // when creation fails (the routine returned no object, or the class could not be loaded).
    std::optional<BoxId> create(const std::string &class_name, const Atoms &args = {});
    void destroy(BoxId box);
    bool exists(BoxId box) const;
    std::string class_of(BoxId box) const;
    int signal_inlets(BoxId box) const;  // from z_dsp_setup
    int outlets(BoxId box) const;        // all outlets, left to right
    int signal_outlets(BoxId box) const; // the "signal" ones (they come first, from the left)
    void *object(BoxId box) const;       // the external's record, for white-box tests

    // ---- messages (message thread) -------------------------------------------------------------
    // Dispatch by selector with the registered type codes: a missing number reads 0, a float given
    // for a long is truncated toward zero (saturating at the 32-bit range); an unknown selector posts
    // "<class>: no method for '<selector>'". "bang" and "float" (one number) are routed to the bang
    // and float handlers, with inlet 1.
    void send(BoxId box, const std::string &selector, const Atoms &args = {});
    void send_float(BoxId box, int inlet, double value); // inlet 1-based; z_in = inlet - 1
    void send_bang(BoxId box, int inlet = 1);
    std::string assist(BoxId box, int kind, int index); // "" when the handler writes nothing

    // ---- buffer~ objects (applied at once between vectors, else before the next vector) ---------
    // Frames are frame-major with `channels` interleaved samples each. Creating a name that exists
    // replaces it (a new object bound to the name).
    void buffer_create(const std::string &name, const std::vector<float> &samples, int channels = 1);
    void buffer_replace(const std::string &name, const std::vector<float> &samples, int channels = 1);
    void buffer_resize(const std::string &name, int32_t frames); // keeps what fits, zero-fills the rest
    void buffer_delete(const std::string &name);
    void buffer_set_valid(const std::string &name, bool valid);
    void buffer_set_inuse(const std::string &name, bool inuse);
    bool buffer_exists(const std::string &name) const;

    // ---- signal chain --------------------------------------------------------------------------
    // A signal connection from outlet `outlet` of src to inlet `inlet` of dst (both 1-based). false
    // when it would close a cycle or names a missing box, outlet or inlet. Several sources into one
    // inlet add up.
    bool connect(BoxId src, int outlet, BoxId dst, int inlet);
    // Marks a signal inlet as fed by the embedder: it counts as connected, and input() gives the
    // vector to fill before every run_vector(). Connections into a fed inlet add onto what the
    // embedder wrote.
    void feed(BoxId box, int inlet);
    void set_disabled(BoxId box, bool disabled);

    // Builds the chain: orders the boxes (sources before the boxes they feed, then creation order),
    // makes the vectors, and sends "dsp" to every box with the sample rate, the vector size and one
    // connection count per inlet and outlet. Call again after connections, feeds or boxes change.
    void dsp_start(float sample_rate, int vector_size);
    void dsp_stop();
    bool dsp_running() const;
    float sample_rate() const; // sys_getsr(): the rate of the last dsp_start (kept after dsp_stop),
                               // 44100 before any
    int vector_size() const;

    float *input(BoxId box, int inlet);                // n samples, valid while the chain stands
    const float *output(BoxId box, int outlet) const;  // n samples after run_vector()

    // Runs one vector: applies pending buffer changes, then for each box in chain order sums its
    // connected sources into its inlet vectors and calls its perform routines. Allocates nothing once
    // the chain is built.
    void run_vector();
    uint64_t vectors_run() const;

    // ---- threaded mode -------------------------------------------------------------------------
    // A hook called on the audio thread around every vector, with vectors_run() before that vector.
    // It runs under the chain lock, so input() and output() of the standing chain are safe to use
    // in it; it must not allocate, lock, block or call the message-side API (send, buffers, ...).
    using VectorHook = std::function<void(uint64_t vector)>;
    // Starts the audio thread: it runs vectors back to back (before, run_vector, after) while the
    // chain is running, and idles (sleeping 1 ms at a time) while it is not. Chain and buffer changes
    // from the message thread wait for the vector in progress and land between two vectors; the
    // thread leaves the lock free whenever such a change waits for it. Does nothing when the
    // thread already runs. Messages (send, send_float, ...) go on meanwhile from the calling thread.
    void start_audio_thread(VectorHook before = {}, VectorHook after = {});
    // Stops and joins the audio thread after its current vector; the destructor does it too.
    void stop_audio_thread();
    bool audio_thread_running() const;

    // ---- what the boxes said -------------------------------------------------------------------
    std::vector<ConsoleLine> console() const;
    std::vector<std::string> console_text(BoxId box = -1) const; // texts only; -1: every box
    void clear_console();
    std::vector<OutletList> lists(BoxId box) const; // lists sent out of the box's outlets, in order
    void clear_lists(BoxId box);
    uint64_t lists_dropped() const; // lists lost because a perform routine outran the capture space

    // ---- test hooks ----------------------------------------------------------------------------
    // After n more successful sysmem_newptr / t_getbytes calls, every further one returns NULL;
    // n < 0 (the default) never fails. For testing creation failures.
    void fail_allocations_after(int n);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace grainhost
