// The operating-system layer: reading weight files (exact bytes, the size
// cap, missing files, directories, special files refused without waiting),
// physical memory, and handlers around fork.
#include <doctest/doctest.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "util/platform.hpp"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace zetrion;
using platform::FileError;

namespace {

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        path = std::filesystem::temp_directory_path() /
               ("zetrion-platform-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                std::to_string(std::rand()));
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::string write_bytes(const std::filesystem::path& p, std::size_t n) {
    std::ofstream out(p, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) out.put(static_cast<char>((i * 131 + 7) & 0xff));
    return p.string();
}

FileError error_of(const std::variant<std::vector<unsigned char>, FileError>& r) {
    REQUIRE(std::holds_alternative<FileError>(r));
    return std::get<FileError>(r);
}

}  // namespace

TEST_CASE("a regular file is read whole, within the size cap") {
    TempDir dir;
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096}, std::size_t{70000}}) {
        CAPTURE(n);
        const auto r = platform::read_regular_file(write_bytes(dir.path / "w.bin", n), 1 << 20);
        REQUIRE(std::holds_alternative<std::vector<unsigned char>>(r));
        const auto& data = std::get<std::vector<unsigned char>>(r);
        REQUIRE(data.size() == n);
        bool same = true;
        for (std::size_t i = 0; i < n; ++i) same = same && data[i] == static_cast<unsigned char>((i * 131 + 7) & 0xff);
        CHECK(same);
    }
    // Exactly at the cap is allowed; one byte more is not.
    const std::string at = write_bytes(dir.path / "at.bin", 5000), over = write_bytes(dir.path / "over.bin", 5001);
    CHECK(std::get<std::vector<unsigned char>>(platform::read_regular_file(at, 5000)).size() == 5000);
    CHECK(error_of(platform::read_regular_file(over, 5000)).kind == FileError::Kind::TooLarge);
}

TEST_CASE("missing files, directories and odd names are errors with their errno") {
    TempDir dir;
    FileError e = error_of(platform::read_regular_file((dir.path / "absent.eisnn").string(), 1024));
    CHECK(e.kind == FileError::Kind::Os);
    CHECK(e.code == ENOENT);
    CHECK(platform::os_error_message(e.code) == std::string(std::strerror(ENOENT)) + " (os error " +
                                                    std::to_string(ENOENT) + ")");
    e = error_of(platform::read_regular_file(dir.path.string(), 1024));
    CHECK(e.kind == FileError::Kind::Os);
    CHECK(e.code == EISDIR);
    CHECK(error_of(platform::read_regular_file(std::string("a\0b", 3), 1024)).kind == FileError::Kind::BadName);
}

#if !defined(_WIN32)
TEST_CASE("special files are refused without waiting for a writer") {
    TempDir dir;
    const std::string fifo = (dir.path / "fifo").string();
    REQUIRE(::mkfifo(fifo.c_str(), 0600) == 0);
    // No writer ever opens it: a blocking open would hang here.
    CHECK(error_of(platform::read_regular_file(fifo, 1024)).kind == FileError::Kind::NotRegular);
    CHECK(error_of(platform::read_regular_file("/dev/null", 1024)).kind == FileError::Kind::NotRegular);
}

namespace {
int g_prepared = 0, g_in_parent = 0, g_in_child = 0;
}

TEST_CASE("fork handlers run in the parent and the child") {
    platform::at_fork([] { ++g_prepared; }, [] { ++g_in_parent; }, [] { ++g_in_child; });
    const pid_t pid = ::fork();
    REQUIRE(pid >= 0);
    if (pid == 0) ::_exit(g_prepared == 1 && g_in_child == 1 && g_in_parent == 0 ? 0 : 1);
    int status = 0;
    REQUIRE(::waitpid(pid, &status, 0) == pid);
    CHECK(WIFEXITED(status));
    CHECK(WEXITSTATUS(status) == 0);
    CHECK(g_prepared == 1);
    CHECK(g_in_parent == 1);
    CHECK(g_in_child == 0);
}
#endif

TEST_CASE("physical memory is known and plausible") {
    const std::uint64_t bytes = platform::physical_memory_bytes();
    CHECK(bytes >= (std::uint64_t{64} << 20));
    CHECK(bytes < (std::uint64_t{1} << 52));
}

TEST_CASE("numbers read in the C locale agree with from_chars, whatever the process locale") {
    std::mt19937_64 rng(5);
    std::vector<std::string> texts = {"0", "1", "0.5", "-2.25", "1e-5", "6.02214076e23", "123456789012345678901234567890",
                                      "4.9406564584124654e-324", "1.7976931348623157e308", "2.2250738585072014E-308"};
    for (int i = 0; i < 2000; ++i) {
        const double x = std::bit_cast<double>(rng());
        if (!std::isfinite(x)) continue;
        char buf[64];
        texts.emplace_back(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
        texts.emplace_back(buf, std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 20).ptr);
    }
    // A locale whose decimal separator is a comma, where the system has one.
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE") ||
                       std::setlocale(LC_NUMERIC, "German_Germany.1252");
    CAPTURE(comma);
    int differ = 0;
    for (const std::string& t : texts) {
        double want = 0.0;
        std::from_chars(t.data(), t.data() + t.size(), want);
        const auto got = platform::parse_c_double(t);
        differ += !got || std::bit_cast<std::uint64_t>(*got) != std::bit_cast<std::uint64_t>(want);
    }
    CHECK(differ == 0);
    CHECK(platform::parse_c_double("1e400") == HUGE_VAL);
    CHECK(platform::parse_c_double("1e-400") == 0.0);
    for (const char* bad : {"", "1.5x", "1,5", " 1", "abc"}) CHECK_FALSE(platform::parse_c_double(bad).has_value());
    std::setlocale(LC_NUMERIC, before.c_str());
}
