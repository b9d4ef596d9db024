// The encoder core alone, without Python: compresses each file named on the
// command line in one call per chunk and prints MB/s per level and format.
// For profiling (perf, callgrind) as much as for figures.
//
//   core_bench [--chunk BYTES] [--repeat N] [--level L] [--format F] [--cpu-best] FILE...
//
// --cpu-best times each run by the thread's CPU time and prints the best
// run rather than the median: on a shared machine, time spent waiting for
// a core then counts for nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vek_core.h"

namespace {

std::vector<uint8_t> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

struct Result {
    double seconds;
    size_t output;
};

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

Result run(const std::vector<std::vector<uint8_t>>& files, int level, int format, size_t chunk,
           std::vector<uint8_t>& out, bool cpu) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu ? thread_seconds() : 0;
    size_t total = 0;
    // A table kept across calls, as the module keeps one per thread.
    auto table = std::make_unique<vek::MatchTable>();
    for (const auto& data : files) {
        vek::DeflateStream s{};
        vek::init_stream(&s, level, format);
        for (size_t at = 0; at < data.size() || at == 0; at += chunk) {
            const size_t n = std::min(chunk, data.size() - at);
            total += size_t(vek::encode_stream(&s, out.data(), data.data() + at, int32_t(n), 1, table.get()));
            if (data.empty()) break;
        }
        total += size_t(vek::finish_stream(&s, out.data()));
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {cpu ? thread_seconds() - cpu_start : elapsed.count(), total};
}

}  // namespace

int main(int argc, char** argv) {
    size_t chunk = size_t(1) << 30;
    int repeat = 5;
    bool cpu_best = false;
    std::vector<int> levels = {0, 1}, formats = {2, 1, 0};
    std::vector<std::vector<uint8_t>> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--chunk" && i + 1 < argc) chunk = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--repeat" && i + 1 < argc) repeat = std::atoi(argv[++i]);
        else if (arg == "--level" && i + 1 < argc) levels = {std::atoi(argv[++i])};
        else if (arg == "--format" && i + 1 < argc) formats = {std::atoi(argv[++i])};
        else if (arg == "--cpu-best") cpu_best = true;
        else files.push_back(read_file(argv[i]));
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: core_bench [--chunk B] [--repeat N] [--level L] [--format F] [--cpu-best] FILE...\n");
        return 2;
    }
    size_t input = 0, largest = 0;
    for (const auto& f : files) {
        input += f.size();
        largest = std::max(largest, f.size());
    }
    vek::DeflateStream probe{};
    vek::init_stream(&probe, 1, 0);
    std::vector<uint8_t> out(vek::max_encode_output(probe, std::min(largest, chunk)) + 64);
    static const char* names[] = {"gzip", "zlib", "raw"};
    for (int level : levels) {
        for (int format : formats) {
            std::vector<double> times;
            size_t output = 0;
            run(files, level, format, chunk, out, cpu_best);  // warm-up
            for (int r = 0; r < repeat; ++r) {
                const Result res = run(files, level, format, chunk, out, cpu_best);
                times.push_back(res.seconds);
                output = res.output;
            }
            std::sort(times.begin(), times.end());
            const double seconds = cpu_best ? times.front() : times[times.size() / 2];
            std::printf("level %d %-4s  %8.1f MB/s  %6.2f%%\n", level, names[std::min(format, 2)],
                        double(input) / seconds / 1e6, 100.0 * double(output) / double(input));
        }
    }
}
