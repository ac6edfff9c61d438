// console.cpp: post() and error(), and the Host's captured console.
//
// Lines are formatted with vsnprintf (any length) and stored with the id of the box whose handler
// runs on the calling thread (0 outside any box). With no Host they go to stderr. Not for perform
// routines: a line allocates and locks.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "internal.h"

namespace grainhost::detail {

thread_local BoxId tl_box = 0;
thread_local bool tl_audio = false;

namespace {

std::string format(const char *fmt, va_list ap) {
    if (!fmt) return {};
    va_list copy;
    va_copy(copy, ap);
    char small[256];
    const int len = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (len < 0) return {};
    if (static_cast<size_t>(len) < sizeof small) return std::string(small, static_cast<size_t>(len));
    std::string out(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(len));
    return out;
}

void emit(bool is_error, const char *fmt, va_list ap) {
    std::string text = format(fmt, ap);
    if (runtime *r = current()) {
        r->console_add(is_error, std::move(text));
    } else {
        std::fprintf(stderr, "%s%s\n", is_error ? "error: " : "", text.c_str());
    }
}

} // namespace

void runtime::console_add(bool is_error, std::string text) {
    if (options.echo_console) {
        std::fprintf(stderr, "[%d] %s%s\n", static_cast<int>(tl_box), is_error ? "error: " : "",
                     text.c_str());
    }
    std::lock_guard<std::mutex> lock(console_mutex);
    lines.push_back(ConsoleLine{tl_box, is_error, std::move(text)});
}

} // namespace grainhost::detail

extern "C" {

EXT_EXPORT void post(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    grainhost::detail::emit(false, fmt, ap);
    va_end(ap);
}

EXT_EXPORT void error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    grainhost::detail::emit(true, fmt, ap);
    va_end(ap);
}

} // extern "C"
