// internal.h: what the toolkit's own sources share and the externals do not need: the cached
// symbols of the information lists, and the clamped slot count.
#pragma once

#include <cstdint>

#include "ext_host.h"
#include "toolkit/env_table.h"

namespace toolkit {

t_symbol *sym_voices() noexcept;
t_symbol *sym_active_env() noexcept;
t_symbol *sym_envbuffer() noexcept;

// The table's count as a loop bound, 1 to 64 whatever the word holds. Acquire: the names below the
// count were published before it.
inline int32_t env_count(const env_table &table) noexcept {
    const int32_t count = table.count.load(std::memory_order_acquire);
    return count < 1 ? 1 : (count > env_slots ? env_slots : count);
}

} // namespace toolkit
