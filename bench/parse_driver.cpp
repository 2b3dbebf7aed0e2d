// Times parse_session_file on one log: lines, records and seconds, best of N runs.
//
//   parse_driver FILE [--repeat N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "session/session.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [--repeat N]\n", argv[0]);
        return 2;
    }
    int repeat = 5;
    if (argc >= 4 && std::strcmp(argv[2], "--repeat") == 0) {
        repeat = std::atoi(argv[3]);
    }
    const std::filesystem::path path = argv[1];
    const auto bytes = std::filesystem::file_size(path);
    double best = 1e300;
    std::size_t messages = 0;
    std::size_t summaries = 0;
    std::size_t warnings = 0;
    for (int i = 0; i < repeat; ++i) {
        warnings = 0;
        auto start = std::chrono::steady_clock::now();
        auto r = kestro::parse_session_file(path, [&](std::string_view) { ++warnings; });
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!r.ok()) {
            std::fprintf(stderr, "%s\n", r.error().render().c_str());
            return 1;
        }
        messages = r.value().messages.size();
        summaries = r.value().summaries.size();
        best = seconds < best ? seconds : best;
    }
    std::printf("file %s: %.1f MB\n", path.c_str(), double(bytes) / 1e6);
    std::printf("records: %zu messages, %zu summaries, %zu skipped with a warning\n", messages,
                summaries, warnings);
    std::printf("best of %d: %.3f s, %.0f MB/s, %.0f records/s\n", repeat, best,
                double(bytes) / 1e6 / best, double(messages + summaries) / best);
    return 0;
}
