// A fixed array of a trivial type whose memory comes zeroed from the allocator (calloc), for
// the tables every instance holds but most never fill: pages a process has not used before are
// only backed once written, so an idle instance neither pays for zeroing them nor keeps them
// resident. Made and freed on the constructing thread; the elements are the owner's.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

template <class T, std::size_t Size>
class ZeroedArray {
    // calloc'd memory holds such objects at their all-zero value without a constructor.
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>);

public:
    ZeroedArray() : items_(static_cast<T*>(std::calloc(Size, sizeof(T)))) {
        if (!items_) throw std::bad_alloc();
    }
    ZeroedArray(const ZeroedArray&) = delete;
    ZeroedArray& operator=(const ZeroedArray&) = delete;
    ~ZeroedArray() { std::free(items_); }

    T& operator[](std::size_t i) noexcept { return items_[i]; }
    const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    T* data() noexcept { return items_; }
    static constexpr std::size_t size() noexcept { return Size; }

private:
    T* const items_;
};
