// What the core asks of the operating system, in one place: the size of
// physical memory, reading a small file without waiting on a pipe or a
// device, handlers around fork(), and the vector extensions of an x86
// processor. Everything else in the core is standard C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zetrion::platform {

// Bytes of physical memory; 0 when the system does not say.
std::uint64_t physical_memory_bytes();

// Why a file could not be read.
struct FileError {
    enum class Kind {
        Os,          // the system refused: code is the C library's errno value
        NotRegular,  // a FIFO, socket, device or other special file
        TooLarge,    // more than the cap, also when it grew past it while read
        BadName,     // a NUL byte in the name
    };
    Kind kind = Kind::Os;
    int code = 0;
};

// Reads a whole regular file of at most max_bytes. A FIFO, a socket or a
// device is refused without being opened for a blocking read, so no writer
// is waited for; a directory is the Os error EISDIR. The name is UTF-8.
std::variant<std::vector<unsigned char>, FileError> read_regular_file(const std::string& path, std::size_t max_bytes);

// The message the C library gives for an errno value, "(os error N)" added.
std::string os_error_message(int code);

// The C library's strtod in the C locale, whatever locale the process set:
// the whole of `text` must be the number (else nullopt); out of range gives
// infinity or zero as strtod does. Serves where the standard library has no
// floating-point std::from_chars (libc++ before LLVM 20, as on macOS).
std::optional<double> parse_c_double(const std::string& text);

// Registers handlers run around fork() (pthread_atfork). Where there is no
// fork (Windows) there is nothing to guard and nothing is registered.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// The x86 vector extensions that the processor has and the operating system
// saves across context switches; all false elsewhere.
struct X86Features {
    bool avx2_fma = false;  // AVX2 and FMA3 with YMM state enabled
    bool avx512f = false;   // AVX-512 Foundation with ZMM and mask state enabled
};
X86Features x86_features();

}  // namespace zetrion::platform
