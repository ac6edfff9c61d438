// chain.cpp: the signal chain: connections, the "dsp" calls that install perform routines,
// run_vector, and the audio thread of the threaded mode.
//
// Everything that changes the chain (boxes, connections, feeds, buffers) holds chain_mutex, and
// run_vector holds it for a whole vector, so a change from the message thread waits for the vector
// in progress and is seen by the next one. run_vector allocates nothing: every vector, source list
// and perform argument vector is made when the chain is built. The audio thread runs vectors back to
// back under the same mutex and steps aside after a vector while a message-thread change waits.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <queue>
#include <thread>

#include "internal.h"

namespace grainhost::detail {

namespace {

// Boxes with sources first; among boxes that are ready, the one created first.
std::vector<box *> chain_order(const std::map<BoxId, std::unique_ptr<box>> &boxes,
                               const std::vector<connection> &connections) {
    std::map<box *, int> pending;
    for (const auto &[id, b] : boxes) pending[b.get()] = 0;
    for (const connection &c : connections) ++pending[c.dst];
    std::priority_queue<std::pair<BoxId, box *>, std::vector<std::pair<BoxId, box *>>, std::greater<>> ready;
    for (const auto &[b, k] : pending) if (k == 0) ready.push({b->id, b});
    std::vector<box *> out;
    while (!ready.empty()) {
        box *b = ready.top().second;
        ready.pop();
        out.push_back(b);
        for (const connection &c : connections) {
            if (c.src == b && --pending[c.dst] == 0) ready.push({c.dst->id, c.dst});
        }
    }
    return out;
}

} // namespace

void runtime::free_chain() {
    for (auto &[id, b] : boxes) {
        b->performs.clear();
        b->in_vec.clear();
        b->out_own.clear();
        b->out_vec.clear();
        b->in_sources.clear();
        b->sigs.clear();
        b->sig_ptrs.clear();
        b->counts.clear();
    }
    order.clear();
}

void runtime::build_chain() {
    free_chain();
    order = chain_order(boxes, connections);
    const size_t len = static_cast<size_t>(n);

    // Vectors first, so every source vector exists before any box is told about its inlets.
    for (box *b : order) {
        const int ins = b->signal_inlets;
        const int outs = b->signal_outlet_count();
        b->in_vec.assign(static_cast<size_t>(ins), std::vector<float>(len, 0.0f));
        b->in_sources.assign(static_cast<size_t>(ins), {});
        b->out_vec.assign(static_cast<size_t>(outs), nullptr);
        for (int k = 0; k < outs; ++k) {
            if (options.alias_vectors && k < ins) {
                b->out_vec[static_cast<size_t>(k)] = b->in_vec[static_cast<size_t>(k)].data();
            } else {
                b->out_own.emplace_back(len, 0.0f);
            }
        }
        size_t own = 0;
        for (int k = 0; k < outs; ++k) {
            if (!b->out_vec[static_cast<size_t>(k)]) b->out_vec[static_cast<size_t>(k)] = b->out_own[own++].data();
        }
        for (size_t i = 0; i < b->feed.size(); ++i) {
            if (b->fed[i]) b->feed[i].resize(len, 0.0f); // keeps input() stable across rebuilds
        }
    }
    for (const connection &c : connections) {
        const int k = c.src->signal_index_of(c.src_outlet);
        c.dst->in_sources[static_cast<size_t>(c.dst_inlet)].push_back(c.src->out_vec[static_cast<size_t>(k)]);
    }

    for (box *b : order) {
        const int ins = b->signal_inlets;
        const int outs = b->signal_outlet_count();
        b->sigs.assign(static_cast<size_t>(ins + outs), t_signal{});
        b->sig_ptrs.assign(static_cast<size_t>(ins + outs), nullptr);
        b->counts.assign(static_cast<size_t>(ins + outs), 0);
        for (int i = 0; i < ins + outs; ++i) {
            t_signal &s = b->sigs[static_cast<size_t>(i)];
            s.s_n = n;
            s.s_sr = sr.load(std::memory_order_relaxed);
            s.s_vec = i < ins ? b->in_vec[static_cast<size_t>(i)].data() : b->out_vec[static_cast<size_t>(i - ins)];
            b->sig_ptrs[static_cast<size_t>(i)] = &s;
        }
        for (int i = 0; i < ins; ++i) {
            const size_t k = b->in_sources[static_cast<size_t>(i)].size() + (b->fed[static_cast<size_t>(i)] ? 1 : 0);
            b->counts[static_cast<size_t>(i)] = static_cast<short>(std::min<size_t>(k, 32767));
        }
        for (const connection &c : connections) {
            if (c.src != b) continue;
            const int k = b->signal_index_of(c.src_outlet);
            short &count = b->counts[static_cast<size_t>(ins + k)];
            if (count < 32767) ++count;
        }
    }

    // The "dsp" calls, in chain order.
    for (box *b : order) {
        auto it = b->cls->methods.find(gensym("dsp"));
        if (it == b->cls->methods.end() || !b->obj) continue;
        box_scope scope(b->id);
        dsp_box = b;
        as_fn<void (*)(void *, t_signal **, short *)>(it->second.fn)(
            b->obj, b->sig_ptrs.data(), b->counts.data());
        dsp_box = nullptr;
    }
}

void runtime::detach(box *b) {
    b->performs.clear();
    for (float *v : b->out_vec) std::memset(v, 0, sizeof(float) * static_cast<size_t>(n));
}

void runtime::run() {
    const size_t len = static_cast<size_t>(n);
    tl_audio = true;
    for (box *b : order) {
        for (size_t i = 0; i < b->in_vec.size(); ++i) {
            float *in = b->in_vec[i].data();
            const auto &sources = b->in_sources[i];
            if (b->fed[i]) {
                std::memcpy(in, b->feed[i].data(), sizeof(float) * len);
            } else {
                std::memset(in, 0, sizeof(float) * len);
            }
            for (const float *src : sources) {
                for (size_t j = 0; j < len; ++j) in[j] += src[j];
            }
        }
        for (perform_entry &p : b->performs) {
            reinterpret_cast<t_perfroutine>(p.words[0])(p.words.data());
        }
    }
    tl_audio = false;
    vectors.fetch_add(1, std::memory_order_release);
}

} // namespace grainhost::detail

using namespace grainhost::detail;

extern "C" {

EXT_EXPORT float sys_getsr(void) {
    runtime *r = current();
    return r ? r->sr.load(std::memory_order_relaxed) : 44100.0f;
}

static void add_perform(t_perfroutine f, int n, const t_int *words) {
    runtime *r = current();
    if (!r || !f || !r->dsp_box) return; // NB: only a "dsp" handler installs perform routines
    perform_entry e;
    e.words.reserve(static_cast<size_t>(n) + 1);
    e.words.push_back(reinterpret_cast<t_int>(f));
    for (int i = 0; i < n; ++i) e.words.push_back(words[i]);
    r->dsp_box->performs.push_back(std::move(e));
}

EXT_EXPORT void dsp_add(t_perfroutine f, int n, ...) {
    if (n < 0) n = 0;
    std::vector<t_int> words(static_cast<size_t>(n));
    va_list ap;
    va_start(ap, n);
    for (int i = 0; i < n; ++i) words[static_cast<size_t>(i)] = va_arg(ap, t_int);
    va_end(ap);
    add_perform(f, n, words.data());
}

EXT_EXPORT void dsp_addv(t_perfroutine f, int n, void **words) {
    if (n < 0 || !words) n = 0;
    std::vector<t_int> w(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) w[static_cast<size_t>(i)] = reinterpret_cast<t_int>(words[i]);
    add_perform(f, n, w.data());
}

} // extern "C"

namespace grainhost {

namespace {
bool would_cycle(const std::vector<detail::connection> &connections, detail::box *src, detail::box *dst) {
    // A path from dst to src closes a cycle.
    std::vector<detail::box *> stack{dst};
    std::vector<detail::box *> seen;
    while (!stack.empty()) {
        detail::box *b = stack.back();
        stack.pop_back();
        if (b == src) return true;
        if (std::find(seen.begin(), seen.end(), b) != seen.end()) continue;
        seen.push_back(b);
        for (const auto &c : connections) if (c.src == b) stack.push_back(c.dst);
    }
    return false;
}
} // namespace

bool Host::connect(BoxId src, int outlet, BoxId dst, int inlet) {
    detail::chain_guard lock(*impl_);
    detail::box *s = impl_->find(src);
    detail::box *d = impl_->find(dst);
    if (!s || !d) return false;
    if (outlet < 1 || outlet > s->outlet_count() || s->signal_index_of(outlet - 1) < 0) return false;
    if (inlet < 1 || inlet > d->signal_inlets) return false;
    for (const auto &c : impl_->connections) {
        if (c.src == s && c.src_outlet == outlet - 1 && c.dst == d && c.dst_inlet == inlet - 1) return false;
    }
    if (would_cycle(impl_->connections, s, d)) return false;
    impl_->connections.push_back({s, outlet - 1, d, inlet - 1});
    impl_->rebuild_if_running();
    return true;
}

void Host::feed(BoxId box, int inlet) {
    detail::chain_guard lock(*impl_);
    detail::box *b = impl_->find(box);
    if (!b || inlet < 1 || inlet > b->signal_inlets) return;
    b->fed[static_cast<size_t>(inlet - 1)] = true;
    b->feed[static_cast<size_t>(inlet - 1)].assign(static_cast<size_t>(impl_->n), 0.0f);
    impl_->rebuild_if_running();
}

void Host::set_disabled(BoxId box, bool disabled) {
    detail::box *b = impl_->find(box);
    if (!b || !b->record) return;
    auto *x = static_cast<t_pxobject *>(b->record);
    std::atomic_ref<int32_t>(x->z_disabled).store(disabled ? 1 : 0, std::memory_order_relaxed);
}

void Host::dsp_start(float sample_rate, int vector_size) {
    detail::chain_guard lock(*impl_);
    if (!(sample_rate > 0.0f) || !std::isfinite(sample_rate)) sample_rate = 44100.0f;
    if (vector_size < 1) vector_size = 1;
    impl_->sr.store(sample_rate, std::memory_order_relaxed);
    impl_->n = vector_size;
    if (!impl_->ring) {
        impl_->ring_capacity = 1u << 16;
        impl_->ring.reset(new detail::captured_list[impl_->ring_capacity]);
    }
    impl_->running = true;
    impl_->build_chain();
}

void Host::dsp_stop() {
    detail::chain_guard lock(*impl_);
    impl_->running = false;
    impl_->free_chain();
}

bool Host::dsp_running() const { return impl_->running; }
float Host::sample_rate() const { return impl_->sr.load(std::memory_order_relaxed); }
int Host::vector_size() const { return impl_->n; }

float *Host::input(BoxId box, int inlet) {
    detail::box *b = impl_->find(box);
    if (!b || inlet < 1 || inlet > b->signal_inlets || !b->fed[static_cast<size_t>(inlet - 1)]) return nullptr;
    auto &v = b->feed[static_cast<size_t>(inlet - 1)];
    if (v.size() < static_cast<size_t>(impl_->n)) v.resize(static_cast<size_t>(impl_->n), 0.0f);
    return v.empty() ? nullptr : v.data();
}

const float *Host::output(BoxId box, int outlet) const {
    detail::box *b = impl_->find(box);
    if (!b || !impl_->running || outlet < 1 || outlet > b->outlet_count()) return nullptr;
    const int k = b->signal_index_of(outlet - 1);
    if (k < 0 || static_cast<size_t>(k) >= b->out_vec.size()) return nullptr;
    return b->out_vec[static_cast<size_t>(k)];
}

void Host::run_vector() {
    detail::chain_guard lock(*impl_);
    if (!impl_->running) return;
    impl_->run();
}

uint64_t Host::vectors_run() const { return impl_->vectors.load(std::memory_order_acquire); }

void Host::start_audio_thread(VectorHook before, VectorHook after) {
    if (impl_->audio_thread.joinable()) return;
    impl_->hook_before = std::move(before);
    impl_->hook_after = std::move(after);
    impl_->audio_stop.store(false, std::memory_order_relaxed);
    impl_->audio_thread = std::thread([r = impl_.get()] { r->audio_loop(); });
}

void Host::stop_audio_thread() {
    if (!impl_->audio_thread.joinable()) return;
    impl_->audio_stop.store(true, std::memory_order_relaxed);
    impl_->audio_thread.join();
    impl_->hook_before = nullptr;
    impl_->hook_after = nullptr;
}

bool Host::audio_thread_running() const { return impl_->audio_thread.joinable(); }

} // namespace grainhost

namespace grainhost::detail {

void runtime::audio_loop() {
    while (!audio_stop.load(std::memory_order_relaxed)) {
        bool ran = false;
        {
            std::lock_guard<std::recursive_mutex> lock(chain_mutex);
            if (running) {
                const uint64_t v = vectors.load(std::memory_order_relaxed);
                if (hook_before) hook_before(v);
                run();
                if (hook_after) hook_after(v);
                ran = true;
            }
        }
        if (!ran) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // A message-thread change waits for the lock: let it in before the next vector.
        while (chain_waiters.load(std::memory_order_relaxed) > 0 &&
               !audio_stop.load(std::memory_order_relaxed)) {
            std::this_thread::yield();
        }
    }
}

} // namespace grainhost::detail
