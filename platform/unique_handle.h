#pragma once

#include <utility>

// Move-only owner of one OS handle. Traits supply the handle type, its invalid value and
// its closer, so every handle kind gets the same ownership rules. Traits that also supply
// save_error() and restore_error(saved) have the thread's last error kept across a close,
// so that a reset between a call and the reading of its error does not hide the error.
template <typename Traits>
class unique_handle {
public:
    using pointer = typename Traits::pointer;

    unique_handle() = default;
    explicit unique_handle(pointer handle) : handle_(handle) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~unique_handle() { reset(); }

    explicit operator bool() const { return handle_ != Traits::invalid(); }
    pointer get() const { return handle_; }

    pointer release() { return std::exchange(handle_, Traits::invalid()); }

    void reset(pointer handle = Traits::invalid()) {
        pointer old = std::exchange(handle_, handle);
        if (old == Traits::invalid()) {
            return;
        }
        if constexpr (requires { Traits::restore_error(Traits::save_error()); }) {
            const auto saved = Traits::save_error();
            Traits::close(old);
            Traits::restore_error(saved);
        } else {
            Traits::close(old);
        }
    }

    // For out-parameters of OS calls; closes what was held first.
    pointer* put() {
        reset();
        return &handle_;
    }

private:
    pointer handle_ = Traits::invalid();
};
