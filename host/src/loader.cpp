// loader.cpp: finds <class>.so, opens it and runs its main once per process.
//
// Folders: the Host's search_path; when that is empty, GRAINHOST_PATH (colon-separated), then the
// build's externals folder. Libraries are never closed. Message thread only.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "internal.h"

#ifndef GRAINHOST_EXTERNALS_DIR
#define GRAINHOST_EXTERNALS_DIR "."
#endif

namespace grainhost::detail {

bool run_main(t_symbol *name, int (*main_fn)());
std::recursive_mutex &registry_mutex();

std::vector<std::string> search_folders(const std::vector<std::string> &configured) {
    if (!configured.empty()) return configured;
    std::vector<std::string> folders;
    if (const char *env = std::getenv("GRAINHOST_PATH")) {
        std::string all(env);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            if (end > start) folders.push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    folders.emplace_back(GRAINHOST_EXTERNALS_DIR);
    return folders;
}

std::string load_library(const std::string &name, const std::vector<std::string> &folders) {
    t_symbol *sym = gensym(name.c_str());
    std::lock_guard<std::recursive_mutex> lock(registry_mutex());
    if (find_class(sym)) return {};
    // Libraries whose main has run: a library is never asked twice, even under another name.
    static auto *mains_run = new std::set<void *>;

    std::string path;
    // NB: a class name is a file name, never a path.
    if (name.empty() || name.find('/') != std::string::npos) return name + ": no such object";
    for (const std::string &folder : folders) {
        std::string candidate = folder + "/" + name + ".so";
        if (::access(candidate.c_str(), R_OK) == 0) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) return name + ": no such object";

    void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = ::dlerror();
        return name + ": cannot load " + path + ": " + (why ? why : "unknown error");
    }
    // NB: dlsym also searches the library's dependencies; only a main defined by the library
    // itself counts.
    void *entry = ::dlsym(handle, "main");
    struct link_map *own = nullptr, *found = nullptr;
    Dl_info info;
    if (entry && ::dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0 &&
        ::dladdr1(entry, &info, reinterpret_cast<void **>(&found), RTLD_DL_LINKMAP) != 0 &&
        found != own) {
        entry = nullptr;
    }
    if (!entry) return name + ": no main in " + path;
    if (mains_run->count(handle)) return name + ": " + path + " registered no class " + name;
    mains_run->insert(handle);
    auto main_fn = reinterpret_cast<int (*)()>(entry);
    if (!run_main(sym, main_fn)) return name + ": " + path + " registered no class " + name;
    return {};
}

} // namespace grainhost::detail
