// A decoder instance for tests that drive the decoder's stages directly: on the heap,
// aligned as the decoder requires, zeroed, and (unless asked otherwise) initialised.
#pragma once

#include "mp3dec.h"

#include <cstdlib>
#include <cstring>
#include <memory>

struct InstanceFree {
    void operator()(tMPEGInstance* p) const { std::free(p); }
};
using Instance = std::unique_ptr<tMPEGInstance, InstanceFree>;

inline Instance new_instance(bool init = true) {
    constexpr size_t size =
        (sizeof(tMPEGInstance) + MP3_INSTANCE_ALIGN - 1) / MP3_INSTANCE_ALIGN * MP3_INSTANCE_ALIGN;
    auto* inst = static_cast<tMPEGInstance*>(std::aligned_alloc(MP3_INSTANCE_ALIGN, size));
    std::memset(inst, 0, sizeof *inst);
    if (init) MP3InitInstance(inst);
    return Instance(inst);
}
