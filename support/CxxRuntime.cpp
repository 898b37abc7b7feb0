// The string and vector errors of the C++ runtime, for the shipped programs
// only (cmake/ship.cmake links this object into them).
//
// libstdc++'s own versions throw std::length_error and friends, which hold
// a string of the library's older layout: they link two more copies of the
// string code (about 80 KB) into programs that catch these errors only with
// catch (...). Defined here, the library's object is not linked. Programs
// that use more of the runtime's errors (the test framework) keep the
// library's: linking this object there would define them twice.
#include <exception>
#include <new>

namespace {
// What a string or vector reports when asked for more than it can hold or
// for a position past its end: a bug or an impossible size, which the
// install sequence's catch (...) turns into a failed installation.
class CContainerError : public std::exception {
public:
    explicit CContainerError(const char* pszWhat) : m_pszWhat(pszWhat) {}
    const char* what() const noexcept override { return m_pszWhat; }

private:
    const char* m_pszWhat;
};
}  // namespace

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char* pszWhat) { throw CContainerError(pszWhat); }
void __throw_out_of_range_fmt(const char* pszFormat, ...) { throw CContainerError(pszFormat); }
void __throw_logic_error(const char* pszWhat) { throw CContainerError(pszWhat); }
}  // namespace std
