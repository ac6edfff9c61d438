// symbols.cpp: the process-wide symbol table (gensym) and the atomic binding of objects to names.
//
// Any thread may call gensym; it takes a mutex and may allocate, so perform routines never call it.
// Symbols are never freed: s_name stays valid for the life of the process. s_thing is written by
// the message thread (buffer~ create/replace/delete) and read by any thread through symbol_thing.
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"

namespace {

struct symbol_table {
    std::mutex mutex;
    std::unordered_map<std::string, t_symbol *> map;
};

// NB: allocated once and never destroyed, so symbols stay valid during static destruction and
// LeakSanitizer sees them as reachable.
symbol_table &table() {
    static symbol_table *t = new symbol_table;
    return *t;
}

} // namespace

extern "C" {

EXT_EXPORT t_symbol *gensym(const char *name) {
    if (!name) name = "";
    symbol_table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.map.find(name);
    if (it != t.map.end()) return it->second;
    auto [pos, inserted] = t.map.emplace(name, nullptr);
    (void)inserted;
    auto *s = new t_symbol;
    s->s_name = pos->first.c_str(); // unordered_map nodes never move
    s->s_thing = nullptr;
    pos->second = s;
    return s;
}

EXT_EXPORT t_object *symbol_thing(t_symbol *s) {
    if (!s) return nullptr;
    return std::atomic_ref<t_object *>(s->s_thing).load(std::memory_order_acquire);
}

} // extern "C"

namespace grainhost::detail {

t_symbol *empty_symbol() {
    static t_symbol *s = gensym("");
    return s;
}

void bind_symbol(t_symbol *s, t_object *thing) {
    std::atomic_ref<t_object *>(s->s_thing).store(thing, std::memory_order_release);
}

} // namespace grainhost::detail
