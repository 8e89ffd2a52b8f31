#include "platform/virtual_memory.h"

#include <sys/mman.h>

#include <utility>

void* reserve_address_space(uint64_t bytes) {
    if (bytes == 0 || bytes > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
    void* p = mmap(nullptr, static_cast<size_t>(bytes), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool commit_memory(void* addr, uint64_t bytes) {
    if (bytes == 0) return true;
    return mprotect(addr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE) == 0;
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
