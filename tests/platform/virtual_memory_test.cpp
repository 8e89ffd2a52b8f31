// Reserved address space: commit, decommit and recommit in place; decommitted pages are gone and inaccessible.
// The same holds with huge pages asked for (a partial decommit splits a huge page).
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "platform/virtual_memory.h"

namespace {

TEST(VirtualMemory, CommitDecommitInPlace) {
    const uint64_t page = 4096;
    const uint64_t size = 64ull << 30;  // far more than the machine's RAM: nothing is backed until committed
    reserved_memory region(size);
    ASSERT_TRUE(region.valid());
    uint8_t* base = region.data();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % (2 << 20), 0u) << "aligned for huge pages";
    advise_huge_pages(base, size);
    uint8_t* mid = base + (size / 2);
    ASSERT_TRUE(commit_memory(mid, 4 * page));
    std::memset(mid, 0x5A, 4 * page);
    decommit_memory(mid + 2 * page, 2 * page);
    EXPECT_EQ(mid[0], 0x5A);
    EXPECT_DEATH(mid[2 * page] = 1, "");
    ASSERT_TRUE(commit_memory(mid + 2 * page, 2 * page));
    EXPECT_EQ(mid[2 * page], 0) << "recommitted pages start zeroed";
    EXPECT_EQ(mid[page], 0x5A);
    EXPECT_EQ(region.data(), base);
}

// Populated pages are resident at once and read as zero; the rest of the committed range is not touched.
TEST(VirtualMemory, PopulateMakesTheRangeResident) {
    const uint64_t page = 4096, size = 8 << 20;
    reserved_memory region(size);
    ASSERT_TRUE(region.valid());
    ASSERT_TRUE(commit_memory(region.data(), size));
    populate_memory(region.data(), size / 2);
    std::vector<unsigned char> resident(size / page);
    ASSERT_EQ(mincore(region.data(), size, resident.data()), 0);
    for (uint64_t i = 0; i < size / page; ++i) {
        ASSERT_EQ(resident[i] & 1, i < size / page / 2 ? 1 : 0) << "page " << i;
    }
    for (uint64_t i = 0; i < size / 2; i += page) ASSERT_EQ(region.data()[i], 0);
}

TEST(VirtualMemory, ImpossibleReservationFails) {
    reserved_memory region(1ull << 62);
    EXPECT_FALSE(region.valid());
    EXPECT_EQ(reserve_address_space(0), nullptr);
}

}  // namespace
