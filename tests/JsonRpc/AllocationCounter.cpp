#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int active = 0;
thread_local std::size_t allocations = 0;
thread_local std::size_t deallocations = 0;

void* Allocate(std::size_t size, std::size_t alignment) {
    if (active > 0)
        ++allocations;
    if (size == 0)
        size = 1;
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void Deallocate(void* p) noexcept {
    if (p == nullptr)
        return;
    if (active > 0)
        ++deallocations;
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size, alignof(std::max_align_t));
}
void* operator new[](std::size_t size) {
    return Allocate(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size, alignof(std::max_align_t));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size, static_cast<std::size_t>(alignment));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return operator new(size, alignment, std::nothrow);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Deallocate(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Deallocate(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Deallocate(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Deallocate(p);
}
void operator delete(void* p) noexcept {
    Deallocate(p);
}
void operator delete[](void* p) noexcept {
    Deallocate(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Deallocate(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Deallocate(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    Deallocate(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    Deallocate(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    Deallocate(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    Deallocate(p);
}

namespace JsonRpc::Test {

AllocationCounter::AllocationCounter() {
    Reset();
    ++active;
}

AllocationCounter::~AllocationCounter() {
    --active;
}

std::size_t AllocationCounter::Allocations() const {
    return allocations;
}

std::size_t AllocationCounter::Deallocations() const {
    return deallocations;
}

void AllocationCounter::Reset() {
    allocations = 0;
    deallocations = 0;
}

}  // namespace JsonRpc::Test
