// classes.cpp: the process-wide class registry and the registration calls made from main.
//
// load_library() sets the name of the class being loaded (under the registry mutex, one load at a
// time); setup() registers a class under that name and addmess/addbang/addfloat/z_add_signalmethod
// apply to the class set up last during that load. Classes are never freed.
#include <cstdarg>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"

namespace grainhost::detail {

namespace {

constexpr int max_types = 16; // longest type list read from a registration call

struct registry {
    std::recursive_mutex mutex;                 // NB: recursive: held across a library's main
    std::unordered_map<t_symbol *, t_messlist *> classes;
    t_symbol *loading = nullptr;                // name of the library whose main runs
    t_messlist *setting_up = nullptr;           // class registered by that main
};

registry &reg() {
    static registry *r = new registry; // never destroyed (see symbols.cpp)
    return *r;
}

// Reads a type list: `first`, then the varargs up to A_NOTHING.
std::vector<short> read_types(short first, va_list ap) {
    std::vector<short> types;
    if (first == A_NOTHING) return types;
    types.push_back(first);
    while (types.size() < max_types) {
        const int t = va_arg(ap, int);
        if (t == A_NOTHING) break;
        types.push_back(static_cast<short>(t));
    }
    return types;
}

// The call forms the dispatcher knows (see ext_host.h).
bool supported(const std::vector<short> &types) {
    if (types.empty()) return true;
    if (types.size() != 1) return false;
    switch (types[0]) {
    case A_LONG: case A_FLOAT: case A_SYM: case A_GIMME: case A_CANT: return true;
    default: return false;
    }
}

} // namespace

t_messlist *find_class(t_symbol *name) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    auto it = r.classes.find(name);
    return it == r.classes.end() ? nullptr : it->second;
}

t_messlist *buffer_class() {
    static t_messlist *c = [] {
        auto *m = new t_messlist;
        m->name = gensym("buffer~");
        m->size = sizeof(buffer_rec);
        return m;
    }();
    return c;
}

// Runs `main` with the registry set up for `name`. Returns whether the class now exists.
bool run_main(t_symbol *name, int (*main_fn)()) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    r.loading = name;
    r.setting_up = nullptr;
    {
        box_scope outside(0);
        main_fn();
    }
    r.loading = nullptr;
    r.setting_up = nullptr;
    return r.classes.count(name) != 0;
}

std::recursive_mutex &registry_mutex() { return reg().mutex; }

} // namespace grainhost::detail

using namespace grainhost::detail;

extern "C" {

EXT_EXPORT void setup(t_messlist **class_handle, method creator, method destroyer, long size,
                      method menu, short type, ...) {
    (void)menu;
    va_list ap;
    va_start(ap, type);
    std::vector<short> types = read_types(type, ap);
    va_end(ap);

    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (!r.loading) {
        error("setup: called outside the loading of a library; ignored");
        if (class_handle) *class_handle = nullptr;
        return;
    }
    if (!supported(types) || (types.size() == 1 && types[0] == A_CANT)) {
        error("%s: unsupported argument types for the creation routine", r.loading->s_name);
        if (class_handle) *class_handle = nullptr;
        return;
    }
    auto *c = new t_messlist;
    c->name = r.loading;
    c->creator = creator;
    c->destroyer = destroyer;
    c->size = size < static_cast<long>(sizeof(t_pxobject)) ? static_cast<long>(sizeof(t_pxobject)) : size;
    c->creator_types = std::move(types);
    r.classes[r.loading] = c; // NB: a second setup in the same main replaces the first
    r.setting_up = c;
    if (class_handle) *class_handle = c;
}

EXT_EXPORT void addmess(method f, const char *selector, short type, ...) {
    va_list ap;
    va_start(ap, type);
    std::vector<short> types = read_types(type, ap);
    va_end(ap);

    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (!r.setting_up || !selector || !f) return;
    if (!supported(types)) {
        error("%s: unsupported argument types for '%s'", r.setting_up->name->s_name, selector);
        return;
    }
    r.setting_up->methods[gensym(selector)] = t_messlist::handler{f, std::move(types)};
}

EXT_EXPORT void addbang(method f) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (r.setting_up) r.setting_up->bang = f;
}

EXT_EXPORT void addfloat(method f) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (r.setting_up) r.setting_up->flt = f;
}

EXT_EXPORT void z_add_signalmethod(void) {
    registry &r = reg();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (r.setting_up) r.setting_up->signal = true;
}

} // extern "C"
