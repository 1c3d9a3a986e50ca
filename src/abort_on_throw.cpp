// What the C++ library would throw ends the run at once, as an uncaught exception would. The
// tool catches none, and defining every function of the C++ library's own file of them keeps
// that file out of the statically linked binary; with it would come its exception classes, their
// strings, std::random_device, and so arc4random, from glibc 2.36: newer than Ubuntu 22.04's.
#include <cstdlib>

// The names are the C++ library's own, reserved to it: that is the point.
// NOLINTBEGIN(bugprone-reserved-identifier)
namespace std {

[[noreturn]] void __throw_bad_exception()
{
    std::abort();
}
[[noreturn]] void __throw_bad_alloc()
{
    std::abort();
}
[[noreturn]] void __throw_bad_array_new_length()
{
    std::abort();
}
[[noreturn]] void __throw_bad_cast()
{
    std::abort();
}
[[noreturn]] void __throw_bad_typeid()
{
    std::abort();
}
[[noreturn]] void __throw_logic_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_domain_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_invalid_argument(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_length_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_out_of_range(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...)
{
    std::abort();
}
[[noreturn]] void __throw_runtime_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_range_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_overflow_error(const char*)
{
    std::abort();
}
[[noreturn]] void __throw_underflow_error(const char*)
{
    std::abort();
}

} // namespace std
// NOLINTEND(bugprone-reserved-identifier)
