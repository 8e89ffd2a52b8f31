// Test control over the expert reads of this test program, through the platform's read seam (mivra_read_hook,
// defined in read_gate.cpp). A closed gate holds every read inside the I/O thread (the slot stays loading) until it
// opens; the log records the offset of every transfer in the order the reads started.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class read_gate {
public:
    void close();
    void open();
    // Waits until n reads are held by the closed gate.
    void wait_held(int n);
    std::vector<uint64_t> log();
    // Called for every transfer: a cap on its length or a negative errno (see mivra_read_hook).
    void set_fault(std::function<long(uint64_t offset, uint64_t length)> fault);
    // Opens the gate, clears the log and the fault.
    void reset();

    long on_read(uint64_t offset, uint64_t length);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;
    int held_ = 0;
    std::vector<uint64_t> log_;
    std::function<long(uint64_t, uint64_t)> fault_;
};

read_gate& gate();
