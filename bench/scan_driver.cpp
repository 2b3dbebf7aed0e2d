// Times the usage scan over a projects folder in C++ alone: bytes and replies per second.
//
//   scan_driver BASE [--repeat N] [--threads N]
//
// The median of N runs, with the CPU time the runs took (user+sys over all threads), so that a
// figure taken on a busy machine can be read beside one taken on a quiet one.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "session/usage_scan.hpp"

namespace {

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BASE [--repeat N] [--threads N]\n", argv[0]);
        return 2;
    }
    int repeat = 5;
    unsigned threads = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--threads") == 0) threads = unsigned(std::atoi(argv[i + 1]));
    }
    const std::filesystem::path base = argv[1];
    std::uint64_t bytes = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(base)) {
        if (e.is_regular_file() && e.path().extension() == ".jsonl") bytes += e.file_size();
    }
    std::vector<double> wall;
    std::vector<double> cpu;
    std::size_t rows = 0;
    for (int i = 0; i < repeat; ++i) {
        const double cpu0 = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        kestro::usage_table table = kestro::scan_usage({base}, {}, threads, nullptr);
        wall.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(cpu_seconds() - cpu0);
        rows = table.rows.size();
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    const double w = wall[wall.size() / 2];
    const double c = cpu[cpu.size() / 2];
    std::printf("tree %s: %.1f MB, %zu replies, %u threads (0: all cores)\n", base.c_str(),
                double(bytes) / 1e6, rows, threads);
    std::printf("median of %d: %.3f s wall, %.3f s cpu, %.0f MB/s wall, %.0f MB/s per cpu second\n",
                repeat, w, c, double(bytes) / 1e6 / w, double(bytes) / 1e6 / c);
    return 0;
}
