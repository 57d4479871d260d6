// One owner for one operating-system resource: a file descriptor, a HANDLE,
// an opened HID interface. ScopedHandle<Traits> holds one value, releases it
// on destruction and can be moved but not copied, so every path that leaves
// a scope gives the resource back. Traits says what the value is:
//
//     struct Traits {
//         using Value = ...;                    // the raw handle type
//         static Value invalid();               // the value that holds nothing
//         static void close(Value value);       // releases a valid value
//     };
#ifndef HIDDFU_SCOPED_HANDLE_H
#define HIDDFU_SCOPED_HANDLE_H

#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace hidplatform {

template <typename Traits>
class ScopedHandle {
public:
    using Value = typename Traits::Value;

    ScopedHandle() noexcept : m_value(Traits::invalid()) {}
    explicit ScopedHandle(Value value) noexcept : m_value(value) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(ScopedHandle&& other) noexcept : m_value(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Value get() const noexcept { return m_value; }
    bool valid() const noexcept { return m_value != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership: the caller closes the value from now on.
    Value release() noexcept
    {
        Value value = m_value;
        m_value = Traits::invalid();
        return value;
    }

    // Closes what is held and holds `value` instead.
    void reset(Value value = Traits::invalid()) noexcept
    {
        if (valid())
            Traits::close(m_value);
        m_value = value;
    }

private:
    Value m_value;
};

#ifndef _WIN32
// A POSIX file descriptor; -1 holds nothing. close() is not retried on
// EINTR: Linux frees the descriptor anyway.
struct FileDescriptorTraits {
    using Value = int;
    static int invalid() { return -1; }
    static void close(int fd) { ::close(fd); }
};
using FileDescriptor = ScopedHandle<FileDescriptorTraits>;
#endif

} // namespace hidplatform

#endif
