#include "platform/virtual_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace {
constexpr uint64_t huge_page = 2ull << 20;
}

void* reserve_address_space(uint64_t bytes) {
    if (bytes == 0 || bytes > static_cast<uint64_t>(SIZE_MAX) - 2 * huge_page) return nullptr;
    // Over-reserve by one huge page and trim, so that the base is 2 MiB aligned and huge pages can back the
    // whole range.
    bytes = (bytes + 4095) / 4096 * 4096;
    size_t span = static_cast<size_t>(bytes + huge_page);
    void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(p);
    uintptr_t base = (start + huge_page - 1) & ~static_cast<uintptr_t>(huge_page - 1);
    if (base > start) munmap(p, base - start);
    size_t tail = (start + span) - (base + static_cast<size_t>(bytes));
    if (tail > 0) munmap(reinterpret_cast<void*>(base + bytes), tail);
    return reinterpret_cast<void*>(base);
}

void advise_huge_pages(void* addr, uint64_t bytes) {
    if (bytes != 0) madvise(addr, static_cast<size_t>(bytes), MADV_HUGEPAGE);
}

bool commit_memory(void* addr, uint64_t bytes) {
    if (bytes == 0) return true;
    return mprotect(addr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE) == 0;
}

void populate_memory(void* addr, uint64_t bytes) {
    if (bytes == 0) return;
#ifdef MADV_POPULATE_WRITE
    if (madvise(addr, static_cast<size_t>(bytes), MADV_POPULATE_WRITE) == 0) return;
#endif
    // Older kernels: a write per page faults it in (the memory is zero either way).
    const long page = sysconf(_SC_PAGESIZE);
    volatile uint8_t* p = static_cast<uint8_t*>(addr);
    for (uint64_t i = 0; i < bytes; i += static_cast<uint64_t>(page)) p[i] = 0;
}

void decommit_memory(void* addr, uint64_t bytes) {
    if (bytes == 0) return;
    madvise(addr, static_cast<size_t>(bytes), MADV_DONTNEED);
    mprotect(addr, static_cast<size_t>(bytes), PROT_NONE);
}

void release_address_space(void* addr, uint64_t bytes) {
    if (addr != nullptr) munmap(addr, static_cast<size_t>(bytes));
}

reserved_memory::reserved_memory(uint64_t bytes) {
    base_ = static_cast<uint8_t*>(reserve_address_space(bytes));
    size_ = base_ != nullptr ? bytes : 0;
}

reserved_memory::~reserved_memory() { release_address_space(base_, size_); }

reserved_memory::reserved_memory(reserved_memory&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}

reserved_memory& reserved_memory::operator=(reserved_memory&& other) noexcept {
    if (this != &other) {
        release_address_space(base_, size_);
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}
