// Address space that is reserved once and committed or decommitted in page ranges, so that addresses inside it
// never move. Linux: an anonymous PROT_NONE, MAP_NORESERVE mapping; commit = mprotect read/write (pages are
// zero-filled on first touch); decommit = madvise(MADV_DONTNEED) + mprotect(PROT_NONE); huge pages by madvise.
// None of these calls lock anything; callers keep two threads off the same range.
#pragma once

#include <cstdint>

// Reserves `bytes` of address space with no access rights and no backing store; nullptr on failure.
// The base is aligned to 2 MiB (the huge page size).
void* reserve_address_space(uint64_t bytes);
// Asks for the range to be backed by huge pages where the system offers them (transparent huge pages): fewer page
// faults, fewer TLB misses, and physically contiguous 2 MiB runs, which lets the block layer read a large blob with
// few scatter segments instead of splitting it into several requests. A hint only; nothing fails without it.
void advise_huge_pages(void* addr, uint64_t bytes);
// Makes [addr, addr + bytes) readable and writable; false when the system refuses. addr and bytes are
// page multiples inside a reservation.
bool commit_memory(void* addr, uint64_t bytes);
// Provides every page of a committed range now (zeroed, writable), in one call rather than one fault per page
// later. Linux: madvise(MADV_POPULATE_WRITE), else a write to each page.
void populate_memory(void* addr, uint64_t bytes);
// Gives the range's pages back to the system and removes access; the addresses stay reserved.
void decommit_memory(void* addr, uint64_t bytes);
// Releases a whole reservation made by reserve_address_space.
void release_address_space(void* addr, uint64_t bytes);

// Owns one reservation; released on destruction. Move-only.
class reserved_memory {
public:
    reserved_memory() = default;
    // Reserves `bytes`; valid() is false when the reservation failed.
    explicit reserved_memory(uint64_t bytes);
    ~reserved_memory();
    reserved_memory(reserved_memory&& other) noexcept;
    reserved_memory& operator=(reserved_memory&& other) noexcept;
    reserved_memory(const reserved_memory&) = delete;
    reserved_memory& operator=(const reserved_memory&) = delete;

    bool valid() const { return base_ != nullptr; }
    uint8_t* data() const { return base_; }
    uint64_t size() const { return size_; }

private:
    uint8_t* base_ = nullptr;
    uint64_t size_ = 0;
};
