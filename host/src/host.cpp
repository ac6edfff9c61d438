// host.cpp: the Host: boxes (create, destroy, queries), message dispatch, the console and the
// captured lists, atoms, and the process-wide pointer to the current Host.
//
// All of it runs on the message thread. Dispatch does not take the chain mutex (messages may run
// while run_vector runs on the audio thread); creation, destruction and chain changes do.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "internal.h"

namespace grainhost::detail {

namespace {
std::atomic<runtime *> g_current{nullptr};
}

runtime *current() { return g_current.load(std::memory_order_acquire); }
void set_current(runtime *r) { g_current.store(r, std::memory_order_release); }

runtime::runtime(HostOptions o) : options(std::move(o)) {}

box *runtime::find(BoxId id) const {
    auto it = boxes.find(id);
    return it == boxes.end() ? nullptr : it->second.get();
}

// ---- atoms ----------------------------------------------------------------------------------------

t_atom_long atom_to_long(const Atom *a) {
    if (!a) return 0;
    switch (a->type) {
    case Atom::Type::Long: return a->l;
    case Atom::Type::Float: {
        const float f = a->f;
        if (std::isnan(f)) return 0;
        if (f >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
        if (f <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
        return static_cast<t_atom_long>(f); // truncates toward zero
    }
    case Atom::Type::Symbol: return 0;
    }
    return 0;
}

double atom_to_double(const Atom *a) {
    if (!a) return 0.0;
    switch (a->type) {
    case Atom::Type::Long: return static_cast<double>(a->l);
    case Atom::Type::Float: return static_cast<double>(a->f);
    case Atom::Type::Symbol: return 0.0;
    }
    return 0.0;
}

t_symbol *atom_to_symbol(const Atom *a) {
    if (!a || a->type != Atom::Type::Symbol) return empty_symbol();
    return gensym(a->s.c_str());
}

t_atom atom_to_c(const Atom &a) {
    t_atom t{};
    switch (a.type) {
    case Atom::Type::Long: t.a_type = A_LONG; t.a_w.w_long = a.l; break;
    case Atom::Type::Float: t.a_type = A_FLOAT; t.a_w.w_float = a.f; break;
    case Atom::Type::Symbol: t.a_type = A_SYM; t.a_w.w_sym = gensym(a.s.c_str()); break;
    }
    return t;
}

Atom atom_from_c(const t_atom &a) {
    switch (a.a_type) {
    case A_LONG: return Atom::lng(a.a_w.w_long);
    case A_FLOAT: return Atom::flt(a.a_w.w_float);
    case A_SYM: return Atom::sym(a.a_w.w_sym && a.a_w.w_sym->s_name ? a.a_w.w_sym->s_name : "");
    default: return Atom::lng(0); // NB: an atom of unknown type reads as the long 0
    }
}

namespace {

// Calls a handler with the arguments converted to its single registered type (or none).
void call_handler(void *obj, t_symbol *sel, const std::vector<short> &types, method fn,
                  const Atoms &args) {
    const Atom *first = args.empty() ? nullptr : &args[0];
    if (types.empty()) {
        as_fn<void (*)(void *)>(fn)(obj);
        return;
    }
    switch (types[0]) {
    case A_LONG:
        as_fn<void (*)(void *, t_atom_long)>(fn)(obj, atom_to_long(first));
        break;
    case A_FLOAT:
        as_fn<void (*)(void *, double)>(fn)(obj, atom_to_double(first));
        break;
    case A_SYM:
        as_fn<void (*)(void *, t_symbol *)>(fn)(obj, atom_to_symbol(first));
        break;
    case A_GIMME: {
        std::vector<t_atom> argv;
        argv.reserve(args.size() + 1);
        for (const Atom &a : args) argv.push_back(atom_to_c(a));
        as_fn<void (*)(void *, t_symbol *, long, t_atom *)>(fn)(
            obj, sel, static_cast<long>(argv.size()), argv.data());
        break;
    }
    default:
        break;
    }
}

} // namespace

void runtime::destroy_box(box *b) {
    // Connections and the chain forget the box first, so no perform routine runs during its
    // destruction routine.
    std::erase_if(connections, [b](const connection &c) { return c.src == b || c.dst == b; });
    std::erase(order, b);
    b->performs.clear();
    if (b->obj && b->cls->destroyer) {
        box_scope scope(b->id);
        as_fn<void (*)(void *)>(b->cls->destroyer)(b->obj);
    }
    std::free(b->record);
    b->record = nullptr;
    b->obj = nullptr;
    boxes.erase(b->id);
}

} // namespace grainhost::detail

namespace grainhost {

using detail::as_fn;
using detail::box;

// ---- atoms ----------------------------------------------------------------------------------------

bool Atom::operator==(const Atom &o) const {
    if (type != o.type) return false;
    switch (type) {
    case Type::Long: return l == o.l;
    case Type::Float: return f == o.f || (std::isnan(f) && std::isnan(o.f));
    case Type::Symbol: return s == o.s;
    }
    return false;
}

std::string Atom::str() const {
    char buf[64];
    switch (type) {
    case Type::Long: std::snprintf(buf, sizeof buf, "%d", static_cast<int>(l)); return buf;
    case Type::Float: std::snprintf(buf, sizeof buf, "%g", static_cast<double>(f)); return buf;
    case Type::Symbol: return s;
    }
    return {};
}

Atom parse_atom(const std::string &word) {
    if (word.empty()) return Atom::sym(word);
    const char *s = word.c_str();
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (*end == '\0' && end != s) {
        if (errno == 0 && v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
            return Atom::lng(static_cast<int32_t>(v));
        }
        return Atom::flt(static_cast<float>(std::strtod(s, nullptr))); // NB: too big for a long
    }
    const double d = std::strtod(s, &end);
    // Only decimal numbers count: "inf", "nan" and hexadecimal stay symbols.
    bool numeric = *end == '\0' && end != s;
    for (const char *p = s; numeric && *p; ++p) {
        if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '.' || *p == 'e' || *p == 'E' ||
              *p == '+' || *p == '-')) {
            numeric = false;
        }
    }
    if (numeric) return Atom::flt(static_cast<float>(d));
    return Atom::sym(word);
}

// ---- the Host -------------------------------------------------------------------------------------

Host::Host(HostOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    if (detail::current()) std::fprintf(stderr, "grainhost: a second Host replaces the current one\n");
    detail::set_current(impl_.get());
}

Host::~Host() {
    stop_audio_thread();
    {
        detail::chain_guard lock(*impl_);
        impl_->running = false;
        impl_->free_chain();
        while (!impl_->boxes.empty()) impl_->destroy_box(std::prev(impl_->boxes.end())->second.get());
        impl_->buffers_free_all();
        for (void *rec : impl_->stray_records) std::free(rec);
        impl_->stray_records.clear();
    }
    if (detail::current() == impl_.get()) detail::set_current(nullptr);
}

bool Host::load(const std::string &class_name) {
    if (detail::find_class(gensym(class_name.c_str()))) return true;
    const std::string failure =
        detail::load_library(class_name, detail::search_folders(impl_->options.search_path));
    if (failure.empty()) return true;
    detail::box_scope outside(0);
    error("%s", failure.c_str());
    return false;
}

std::optional<BoxId> Host::create(const std::string &class_name, const Atoms &args) {
    if (class_name == "buffer~") {
        error("buffer~: make buffers with the host's buffer calls, not as boxes");
        return std::nullopt;
    }
    if (!load(class_name)) return std::nullopt;
    t_messlist *cls = detail::find_class(gensym(class_name.c_str()));
    if (!cls || !cls->creator) {
        error("%s: no creation routine", class_name.c_str());
        return std::nullopt;
    }

    auto b = std::make_unique<box>();
    b->id = impl_->next_id++; // NB: a failed creation uses up its id, so its console lines stay its own
    b->cls = cls;
    box *raw = b.get();
    void *obj = nullptr;
    {
        detail::box_scope scope(raw->id);
        box *saved = impl_->creating;
        impl_->creating = raw;
        const Atom *first = args.empty() ? nullptr : &args[0];
        const std::vector<short> &types = cls->creator_types;
        if (types.empty()) {
            obj = as_fn<void *(*)()>(cls->creator)();
        } else if (types[0] == A_GIMME) {
            std::vector<t_atom> argv;
            argv.reserve(args.size() + 1);
            for (const Atom &a : args) argv.push_back(detail::atom_to_c(a));
            obj = as_fn<void *(*)(t_symbol *, long, t_atom *)>(cls->creator)(
                cls->name, static_cast<long>(argv.size()), argv.data());
        } else if (types[0] == A_LONG) {
            obj = as_fn<void *(*)(t_atom_long)>(cls->creator)(detail::atom_to_long(first));
        } else if (types[0] == A_FLOAT) {
            obj = as_fn<void *(*)(double)>(cls->creator)(detail::atom_to_double(first));
        } else if (types[0] == A_SYM) {
            obj = as_fn<void *(*)(t_symbol *)>(cls->creator)(detail::atom_to_symbol(first));
        }
        impl_->creating = saved;
    }
    if (!obj) {
        std::free(raw->record); // the external freed its own blocks; the record is the host's
        return std::nullopt;
    }
    raw->obj = static_cast<t_object *>(obj);
    detail::chain_guard lock(*impl_);
    impl_->boxes.emplace(raw->id, std::move(b));
    impl_->rebuild_if_running();
    return raw->id;
}

void Host::destroy(BoxId id) {
    detail::chain_guard lock(*impl_);
    box *b = impl_->find(id);
    if (!b) return;
    impl_->destroy_box(b);
    impl_->rebuild_if_running();
}

bool Host::exists(BoxId box) const { return impl_->find(box) != nullptr; }

std::string Host::class_of(BoxId id) const {
    box *b = impl_->find(id);
    return b ? b->cls->name->s_name : std::string();
}

int Host::signal_inlets(BoxId id) const {
    box *b = impl_->find(id);
    return b ? b->signal_inlets : 0;
}

int Host::outlets(BoxId id) const {
    box *b = impl_->find(id);
    return b ? b->outlet_count() : 0;
}

int Host::signal_outlets(BoxId id) const {
    box *b = impl_->find(id);
    return b ? b->signal_outlet_count() : 0;
}

void *Host::object(BoxId id) const {
    box *b = impl_->find(id);
    return b ? b->obj : nullptr;
}

// ---- messages -------------------------------------------------------------------------------------

void Host::send(BoxId id, const std::string &selector, const Atoms &args) {
    box *b = impl_->find(id);
    if (!b) {
        error("grainhost: no box %d", static_cast<int>(id));
        return;
    }
    detail::box_scope scope(b->id);
    const char *cls = b->cls->name->s_name;
    if (selector == "bang" && b->cls->bang) {
        as_fn<void (*)(void *)>(b->cls->bang)(b->obj);
        return;
    }
    if (selector == "float" && b->cls->flt) {
        as_fn<void (*)(void *, double)>(b->cls->flt)(
            b->obj, detail::atom_to_double(args.empty() ? nullptr : &args[0]));
        return;
    }
    t_symbol *sel = gensym(selector.c_str());
    auto it = b->cls->methods.find(sel);
    if (it == b->cls->methods.end() || (!it->second.types.empty() && it->second.types[0] == A_CANT)) {
        post("%s: no method for '%s'", cls, selector.c_str());
        return;
    }
    detail::call_handler(b->obj, sel, it->second.types, it->second.fn, args);
}

namespace {

// Calls fn (nullptr: posts the missing-method line naming `what`) on the box as a float or bang
// arriving at inlet k, with k - 1 in the header for the call.
template <class Call>
void inlet_call(box *b, BoxId id, int inlet, method fn, const char *what, Call call) {
    if (!b) {
        error("grainhost: no box %d", static_cast<int>(id));
        return;
    }
    detail::box_scope scope(b->id);
    if (inlet < 1 || inlet > b->inlets()) {
        post("%s: no inlet %d", b->cls->name->s_name, inlet);
        return;
    }
    if (!fn) {
        post("%s: no method for '%s'", b->cls->name->s_name, what);
        return;
    }
    auto *x = static_cast<t_pxobject *>(b->record ? b->record : b->obj);
    x->z_in = inlet - 1;
    call(fn);
    x->z_in = 0;
}

} // namespace

void Host::send_float(BoxId id, int inlet, double value) {
    box *b = impl_->find(id);
    method fn = b ? b->cls->flt : nullptr;
    if (b && !fn) { // a class may register "float" as a plain one-float handler
        auto it = b->cls->methods.find(gensym("float"));
        if (it != b->cls->methods.end() && it->second.types.size() == 1 && it->second.types[0] == A_FLOAT) {
            fn = it->second.fn;
        }
    }
    inlet_call(b, id, inlet, fn, "float",
               [&](method f) { as_fn<void (*)(void *, double)>(f)(b->obj, value); });
}

void Host::send_bang(BoxId id, int inlet) {
    box *b = impl_->find(id);
    inlet_call(b, id, inlet, b ? b->cls->bang : nullptr, "bang",
               [&](method f) { as_fn<void (*)(void *)>(f)(b->obj); });
}

std::string Host::assist(BoxId id, int kind, int index) {
    box *b = impl_->find(id);
    if (!b) return {};
    auto it = b->cls->methods.find(gensym("assist"));
    if (it == b->cls->methods.end()) return {};
    detail::box_scope scope(b->id);
    char text[ASSIST_MAX] = "";
    as_fn<void (*)(void *, void *, long, long, char *)>(it->second.fn)(
        b->obj, b, static_cast<long>(kind), static_cast<long>(index), text);
    text[ASSIST_MAX - 1] = '\0';
    return text;
}

// ---- console and lists ------------------------------------------------------------------------------

std::vector<ConsoleLine> Host::console() const {
    std::lock_guard<std::mutex> lock(impl_->console_mutex);
    return impl_->lines;
}

std::vector<std::string> Host::console_text(BoxId box) const {
    std::lock_guard<std::mutex> lock(impl_->console_mutex);
    std::vector<std::string> out;
    for (const ConsoleLine &l : impl_->lines) {
        if (box == -1 || l.box == box) out.push_back(l.text);
    }
    return out;
}

void Host::clear_console() {
    std::lock_guard<std::mutex> lock(impl_->console_mutex);
    impl_->lines.clear();
}

std::vector<OutletList> Host::lists(BoxId box) const {
    std::lock_guard<std::mutex> lock(impl_->lists_mutex);
    impl_->drain_ring();
    auto it = impl_->lists.find(box);
    return it == impl_->lists.end() ? std::vector<OutletList>{} : it->second;
}

void Host::clear_lists(BoxId box) {
    std::lock_guard<std::mutex> lock(impl_->lists_mutex);
    impl_->drain_ring();
    impl_->lists.erase(box);
}

uint64_t Host::lists_dropped() const { return impl_->dropped.load(std::memory_order_relaxed); }

void Host::fail_allocations_after(int n) {
    impl_->alloc_budget.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

} // namespace grainhost
