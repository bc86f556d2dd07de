#include "native/code_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {

void* region;
size_t region_size;

}  // namespace

void* open_code_memory(size_t size) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t needed = (size + page - 1) / page * page;
    if (needed > region_size) {
        if (region) munmap(region, region_size);
        region = nullptr;
        region_size = 0;
        void* p = mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        region = p;
        region_size = needed;
    } else if (mprotect(region, region_size, PROT_READ | PROT_WRITE) != 0) {
        return nullptr;
    }
    return region;
}

size_t code_memory_size() {
    return region_size;
}

void release_code_memory() {
    if (region) (void)munmap(region, region_size);
    region = nullptr;
    region_size = 0;
}

CompiledLoop seal_code_memory() {
    char* start = static_cast<char*>(region);
    __builtin___clear_cache(start, start + region_size);
    if (mprotect(region, region_size, PROT_READ | PROT_EXEC) != 0) return nullptr;
    return reinterpret_cast<CompiledLoop>(region);
}
