#include "util/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <clocale>
#include <cstdlib>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#if defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <xlocale.h>
#endif
#endif

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define ZETRION_X86 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace zetrion::platform {

std::string os_error_message(int code) {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

namespace {

// Reads chunks through `read_some` (returns bytes read, 0 at the end, -1 with
// errno-style code on failure) into a buffer sized from `hint`, growing it
// within the cap if the file grew since its size was taken.
template <class ReadSome>
std::variant<std::vector<unsigned char>, FileError> read_all(std::uint64_t hint, std::size_t max_bytes,
                                                           ReadSome read_some) {
    if (hint > max_bytes) return FileError{FileError::Kind::TooLarge, 0};
    std::vector<unsigned char> data(static_cast<std::size_t>(hint));
    std::size_t have = 0;
    for (;;) {
        if (have == data.size()) {
            if (data.size() >= max_bytes) {
                // Full at the cap: one more byte means the file is too large.
                unsigned char probe;
                int err = 0;
                const long long n = read_some(&probe, 1, err);
                if (n < 0) return FileError{FileError::Kind::Os, err};
                if (n == 0) break;
                return FileError{FileError::Kind::TooLarge, 0};
            }
            data.resize(std::min(max_bytes, std::max<std::size_t>(data.size() * 2, 4096)));
        }
        int err = 0;
        const long long n = read_some(data.data() + have, data.size() - have, err);
        if (n < 0) return FileError{FileError::Kind::Os, err};
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    data.resize(have);
    return data;
}

}  // namespace

#if defined(_WIN32)

namespace {

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// The errno value closest to a Windows error, so that messages read as they
// do elsewhere ("No such file or directory (os error 2)").
int errno_of(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

}  // namespace

std::uint64_t physical_memory_bytes() {
    MEMORYSTATUSEX st;
    st.dwLength = sizeof st;
    if (!GlobalMemoryStatusEx(&st)) return 0;
    return st.ullTotalPhys;
}

std::variant<std::vector<unsigned char>, FileError> read_regular_file(const std::string& path, std::size_t max_bytes) {
    if (path.find('\0') != std::string::npos) return FileError{FileError::Kind::BadName, 0};
    std::wstring wide;
    if (!path.empty()) {
        const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                          nullptr, 0);
        if (n <= 0) return FileError{FileError::Kind::Os, EILSEQ};
        wide.resize(static_cast<std::size_t>(n));
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), n);
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return FileError{FileError::Kind::Os, EISDIR};
    Handle h(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return FileError{FileError::Kind::Os, errno_of(GetLastError())};
    // Pipes and character devices (CON, NUL, COM1) are not weight files.
    if (GetFileType(h.get()) != FILE_TYPE_DISK) return FileError{FileError::Kind::NotRegular, 0};
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h.get(), &size)) return FileError{FileError::Kind::Os, errno_of(GetLastError())};
    return read_all(static_cast<std::uint64_t>(size.QuadPart), max_bytes,
                    [&](unsigned char* p, std::size_t n, int& err) -> long long {
                        DWORD got = 0;
                        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
                        if (!ReadFile(h.get(), p, want, &got, nullptr)) {
                            err = errno_of(GetLastError());
                            return -1;
                        }
                        return static_cast<long long>(got);
                    });
}

void at_fork(void (*)(), void (*)(), void (*)()) {}

std::optional<double> parse_c_double(const std::string& text) {
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    // strtod would skip leading blanks; a number here starts at once.
    if (text.empty() || !c_locale || text[0] == ' ' || (text[0] >= '\t' && text[0] <= '\r')) return std::nullopt;
    char* end = nullptr;
    const double v = _strtod_l(text.c_str(), &end, c_locale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

#else  // POSIX

namespace {

// Closes a descriptor on every path out of the reader.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::uint64_t physical_memory_bytes() {
#if defined(__APPLE__)
    std::uint64_t bytes = 0;
    std::size_t len = sizeof bytes;
    if (sysctlbyname("hw.memsize", &bytes, &len, nullptr, 0) != 0) return 0;
    return bytes;
#elif defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
#else
    return 0;
#endif
}

std::variant<std::vector<unsigned char>, FileError> read_regular_file(const std::string& path, std::size_t max_bytes) {
    if (path.find('\0') != std::string::npos) return FileError{FileError::Kind::BadName, 0};
    // Opened without blocking, so that a FIFO with no writer is refused
    // rather than waited on.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return FileError{FileError::Kind::Os, errno};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FileError{FileError::Kind::Os, errno};
    if (S_ISDIR(st.st_mode)) return FileError{FileError::Kind::Os, EISDIR};
    if (!S_ISREG(st.st_mode)) return FileError{FileError::Kind::NotRegular, 0};
    return read_all(static_cast<std::uint64_t>(st.st_size), max_bytes,
                    [&](unsigned char* p, std::size_t n, int& err) -> long long {
                        for (;;) {
                            const ssize_t got = ::read(fd.get(), p, n);
                            if (got >= 0) return static_cast<long long>(got);
                            if (errno == EINTR) continue;
                            err = errno;
                            return -1;
                        }
                    });
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) { pthread_atfork(prepare, parent, child); }

std::optional<double> parse_c_double(const std::string& text) {
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    // strtod would skip leading blanks; a number here starts at once.
    if (text.empty() || !c_locale || text[0] == ' ' || (text[0] >= '\t' && text[0] <= '\r')) return std::nullopt;
    char* end = nullptr;
    const double v = strtod_l(text.c_str(), &end, c_locale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

#endif

X86Features x86_features() {
    X86Features out;
#if defined(ZETRION_X86)
    unsigned r1[4] = {}, r7[4] = {};  // eax, ebx, ecx, edx of leaves 1 and 7
    unsigned max_leaf = 0;
#if defined(_MSC_VER) && !defined(__clang__)
    int regs[4];
    __cpuid(regs, 0);
    max_leaf = static_cast<unsigned>(regs[0]);
    __cpuid(regs, 1);
    for (int i = 0; i < 4; ++i) r1[i] = static_cast<unsigned>(regs[i]);
    if (max_leaf >= 7) {
        __cpuidex(regs, 7, 0);
        for (int i = 0; i < 4; ++i) r7[i] = static_cast<unsigned>(regs[i]);
    }
#else
    max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf >= 1) __cpuid(1, r1[0], r1[1], r1[2], r1[3]);
    if (max_leaf >= 7) __cpuid_count(7, 0, r7[0], r7[1], r7[2], r7[3]);
#endif
    const bool osxsave = (r1[2] >> 27) & 1, avx = (r1[2] >> 28) & 1, fma = (r1[2] >> 12) & 1;
    if (!osxsave || !avx) return out;
    // Which register state the operating system saves: XCR0.
#if defined(_MSC_VER) && !defined(__clang__)
    const std::uint64_t xcr0 = _xgetbv(0);
#else
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const std::uint64_t xcr0 = (std::uint64_t{hi} << 32) | lo;
#endif
    const bool ymm = (xcr0 & 0x6) == 0x6;     // SSE and AVX state
    const bool zmm = (xcr0 & 0xe6) == 0xe6;   // and opmask, ZMM upper halves, ZMM16-31
    const bool avx2 = (r7[1] >> 5) & 1, avx512f = (r7[1] >> 16) & 1;
    out.avx2_fma = ymm && avx2 && fma;
    out.avx512f = ymm && zmm && avx512f;
#endif
    return out;
}

}  // namespace zetrion::platform
