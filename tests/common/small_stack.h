// Runs a function on a thread with a stack of a chosen size, to show that code stays within it.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>

// Runs `fn` on a new thread whose stack is `stack_bytes` large, waits for it and rethrows what it threw.
inline void run_with_stack(size_t stack_bytes, const std::function<void()>& fn) {
    struct job {
        const std::function<void()>* fn;
        std::exception_ptr error;
    } work{&fn, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            auto* w = static_cast<job*>(arg);
            try {
                (*w->fn)();
            } catch (...) {
                w->error = std::current_exception();
            }
            return nullptr;
        },
        &work);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("pthread_create failed");
    pthread_join(thread, nullptr);
    if (work.error) std::rethrow_exception(work.error);
}
