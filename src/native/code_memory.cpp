#include "native/code_memory.h"

#include "platform/platform.h"

namespace {

void* region;
size_t region_size;

}  // namespace

void* open_code_memory(size_t size) {
    size_t page = page_size();
    size_t needed = (size + page - 1) / page * page;
    if (needed > region_size) {
        if (region) unmap_pages(region, region_size);
        region = nullptr;
        region_size = 0;
        void* p = map_pages(needed);
        if (!p) return nullptr;
        region = p;
        region_size = needed;
    } else if (!protect_pages(region, region_size, false)) {
        return nullptr;
    }
    return region;
}

size_t code_memory_size() {
    return region_size;
}

void release_code_memory() {
    if (region) unmap_pages(region, region_size);
    region = nullptr;
    region_size = 0;
}

CompiledLoop seal_code_memory() {
    if (!protect_pages(region, region_size, true)) return nullptr;
    return reinterpret_cast<CompiledLoop>(region);
}
