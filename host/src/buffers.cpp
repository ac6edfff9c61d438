// buffers.cpp: the built-in buffer~ objects and their accessors.
//
// The Host's buffer calls run on the message thread and hold the chain mutex, so a change lands
// between two vectors; old sample memory is freed at once (no perform routine runs while the lock
// is held, and the externals re-read the sample pointer at every vector). Records that were
// replaced or deleted are emptied and kept until the Host goes, since a message handler may still
// hold one. The accessors are audio-safe: one atomic load each.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace grainhost::detail {

namespace {

buffer_rec *as_buffer(t_object *b) {
    if (!b || b->o_class != buffer_class()) return nullptr;
    return reinterpret_cast<buffer_rec *>(b);
}

// Sample memory of at least one frame, so a bound buffer never has a null sample pointer.
std::unique_ptr<float[]> sample_memory(size_t count) {
    std::unique_ptr<float[]> m(new float[std::max<size_t>(count, 1)]);
    std::fill_n(m.get(), std::max<size_t>(count, 1), 0.0f);
    return m;
}

} // namespace

buffer_rec *runtime::buffer_make(const std::string &name, const std::vector<float> &samples,
                                 int channels, std::unique_ptr<float[]> &memory) {
    if (channels < 1) channels = 1;
    const size_t frames64 = samples.size() / static_cast<size_t>(channels);
    const int32_t frames = static_cast<int32_t>(std::min<size_t>(frames64, INT32_MAX / static_cast<size_t>(channels)));
    const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    memory = sample_memory(count);
    if (count > 0) std::memcpy(memory.get(), samples.data(), count * sizeof(float));
    auto *rec = new buffer_rec{};
    rec->b_obj.o_class = buffer_class();
    rec->b_obj.o_host = nullptr;
    rec->valid.store(1);
    rec->inuse.store(0);
    rec->samples.store(memory.get());
    rec->frames.store(frames);
    rec->channels.store(channels);
    rec->name = gensym(name.c_str());
    return rec;
}

void runtime::buffer_retire(buffer_rec *rec) {
    rec->valid.store(0);
    rec->samples.store(nullptr);
    rec->frames.store(0);
    retired.push_back(rec);
}

void runtime::buffers_free_all() {
    for (auto &[name, e] : buffers) {
        if (symbol_thing(e.rec->name) == &e.rec->b_obj) bind_symbol(e.rec->name, nullptr);
        delete e.rec;
    }
    buffers.clear();
    for (buffer_rec *rec : retired) delete rec;
    retired.clear();
}

} // namespace grainhost::detail

using namespace grainhost::detail;

extern "C" {

EXT_EXPORT int32_t buffer_valid(t_object *b) {
    buffer_rec *r = as_buffer(b);
    return r ? r->valid.load(std::memory_order_acquire) : 0;
}

EXT_EXPORT float *buffer_samples(t_object *b) {
    buffer_rec *r = as_buffer(b);
    return r ? r->samples.load(std::memory_order_acquire) : nullptr;
}

EXT_EXPORT int32_t buffer_frames(t_object *b) {
    buffer_rec *r = as_buffer(b);
    return r ? r->frames.load(std::memory_order_acquire) : 0;
}

EXT_EXPORT int32_t buffer_inuse(t_object *b) {
    buffer_rec *r = as_buffer(b);
    return r ? r->inuse.load(std::memory_order_acquire) : 0;
}

} // extern "C"

namespace grainhost {

void Host::buffer_create(const std::string &name, const std::vector<float> &samples, int channels) {
    buffer_replace(name, samples, channels);
}

void Host::buffer_replace(const std::string &name, const std::vector<float> &samples, int channels) {
    detail::chain_guard lock(*impl_);
    detail::buffer_entry fresh;
    fresh.rec = impl_->buffer_make(name, samples, channels, fresh.memory);
    auto it = impl_->buffers.find(name);
    if (it != impl_->buffers.end()) {
        impl_->buffer_retire(it->second.rec);
        it->second = std::move(fresh); // frees the old sample memory
    } else {
        it = impl_->buffers.emplace(name, std::move(fresh)).first;
    }
    detail::bind_symbol(it->second.rec->name, &it->second.rec->b_obj);
}

void Host::buffer_resize(const std::string &name, int32_t frames) {
    detail::chain_guard lock(*impl_);
    auto it = impl_->buffers.find(name);
    if (it == impl_->buffers.end()) {
        error("buffer~: no buffer~ %s to resize", name.c_str());
        return;
    }
    detail::buffer_rec *rec = it->second.rec;
    const int32_t channels = rec->channels.load();
    if (frames < 0) frames = 0;
    if (frames > INT32_MAX / channels) frames = INT32_MAX / channels;
    const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    const size_t kept = std::min<size_t>(count, static_cast<size_t>(rec->frames.load()) * static_cast<size_t>(channels));
    std::unique_ptr<float[]> memory(new float[std::max<size_t>(count, 1)]);
    std::fill_n(memory.get(), std::max<size_t>(count, 1), 0.0f);
    if (kept > 0) std::memcpy(memory.get(), it->second.memory.get(), kept * sizeof(float));
    rec->samples.store(memory.get(), std::memory_order_release);
    rec->frames.store(frames, std::memory_order_release);
    it->second.memory = std::move(memory);
}

void Host::buffer_delete(const std::string &name) {
    detail::chain_guard lock(*impl_);
    auto it = impl_->buffers.find(name);
    if (it == impl_->buffers.end()) return;
    detail::bind_symbol(it->second.rec->name, nullptr);
    impl_->buffer_retire(it->second.rec);
    impl_->buffers.erase(it);
}

void Host::buffer_set_valid(const std::string &name, bool valid) {
    detail::chain_guard lock(*impl_);
    auto it = impl_->buffers.find(name);
    if (it == impl_->buffers.end()) {
        error("buffer~: no buffer~ %s", name.c_str());
        return;
    }
    it->second.rec->valid.store(valid ? 1 : 0, std::memory_order_release);
}

void Host::buffer_set_inuse(const std::string &name, bool inuse) {
    detail::chain_guard lock(*impl_);
    auto it = impl_->buffers.find(name);
    if (it == impl_->buffers.end()) {
        error("buffer~: no buffer~ %s", name.c_str());
        return;
    }
    it->second.rec->inuse.store(inuse ? 1 : 0, std::memory_order_release);
}

bool Host::buffer_exists(const std::string &name) const {
    detail::chain_guard lock(*impl_);
    return impl_->buffers.count(name) != 0;
}

} // namespace grainhost
