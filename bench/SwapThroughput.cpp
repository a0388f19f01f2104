// Swap file throughput: objects of 200 bytes and of 20 KB pushed through a swap file whose zone
// holds a tenth of them (swap-out), then all read back through their handles (swap-in); then the
// same with objects brought back alone ("alone", ReloadObjectsAlone). Each
// direction is reported in MB/s and as a ratio to plain stdio writes and reads of the same bytes
// in 8192-byte pages, measured in the same run, interleaved, median of the rounds.
// Usage: qor_swap_throughput [rounds] [megabytes per round]
#include <QORSysSwapFile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Payload : QORSysSwappable {
    Payload(QORSysSwapFile* file, std::size_t bytes) : QORSysSwappable(file, 0), bytes(bytes) {
        std::memset(static_cast<void*>(this + 1), static_cast<int>(bytes & 0xFF), bytes);
    }
    std::size_t bytes;
};

struct PayloadRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Payload* Get() { return static_cast<Payload*>(GetObject()); }
};

struct Rates {
    double outMBps;
    double inMBps;
};

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The swap files stay on disk after their swap file is gone: each round works in a directory of
// its own that is emptied afterwards.
std::string gDirectory;

void RemoveSwapFiles() {
    for (int sequence = 0; sequence < 1000; ++sequence)
        std::remove((gDirectory + "/SwapFile" + std::to_string(getpid()) + "_" +
                     std::to_string(sequence) + ".txt")
                        .c_str());
}

Rates SwapRound(std::size_t objectBytes, std::size_t totalBytes, bool alone) {
    const std::size_t count = totalBytes / objectBytes;
    QORSysSwapFile file;
    const std::size_t zone = totalBytes / 10;
    file.Initialize(0, zone, zone, totalBytes * 3);
    file.ReloadObjectsAlone(alone);
    std::vector<PayloadRef> refs;
    refs.reserve(count);
    const auto outStart = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        void* memory =
            QORSysSwappable::operator new(sizeof(Payload) + objectBytes, &file, nullptr, 0);
        if (memory == nullptr) {
            std::fprintf(stderr, "allocation %zu of %zu failed\n", i, count);
            std::exit(1);
        }
        refs.emplace_back(::new (memory) Payload(&file, objectBytes));
    }
    const double outSeconds = Seconds(outStart);
    const auto inStart = Clock::now();
    std::size_t checked = 0;
    for (PayloadRef& ref : refs) {
        Payload* payload = ref.Get();
        if (payload == nullptr || payload->bytes != objectBytes) {
            std::fprintf(stderr, "object lost\n");
            std::exit(1);
        }
        checked += static_cast<const unsigned char*>(static_cast<const void*>(payload + 1))[0];
    }
    const double inSeconds = Seconds(inStart);
    if (checked != count * (objectBytes & 0xFF)) std::exit(1);
    refs.clear();
    RemoveSwapFiles();
    const double megabytes = static_cast<double>(count * objectBytes) / 1e6;
    return {megabytes / outSeconds, megabytes / inSeconds};
}

Rates StdioRound(std::size_t totalBytes) {
    const std::string path = gDirectory + "/stdio_baseline";
    FILE* stream = std::fopen(path.c_str(), "wb+");
    std::vector<char> page(8192, 7);
    const std::size_t pages = totalBytes / page.size();
    const auto outStart = Clock::now();
    for (std::size_t p = 0; p < pages; ++p) {
        std::fseek(stream, static_cast<long>(p * page.size()), SEEK_SET);
        std::fwrite(page.data(), 1, page.size(), stream);
    }
    std::fflush(stream);
    const double outSeconds = Seconds(outStart);
    const auto inStart = Clock::now();
    std::size_t sum = 0;
    for (std::size_t p = 0; p < pages; ++p) {
        std::fseek(stream, static_cast<long>(p * page.size()), SEEK_SET);
        sum += std::fread(page.data(), 1, page.size(), stream);
    }
    const double inSeconds = Seconds(inStart);
    std::fclose(stream);
    std::remove(path.c_str());
    if (sum != pages * page.size()) std::exit(1);
    const double megabytes = static_cast<double>(totalBytes) / 1e6;
    return {megabytes / outSeconds, megabytes / inSeconds};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    char directory[] = "/tmp/qor_swap_bench_XXXXXX";
    if (mkdtemp(directory) == nullptr) return 1;
    gDirectory = directory;
    setenv("QORSwapFileDir", directory, 1);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::size_t totalBytes = (argc > 2 ? std::atoi(argv[2]) : 64) * std::size_t{1} << 20;
    std::printf("| objects | swap-out MB/s | stdio write MB/s | ratio | swap-in MB/s | "
                "stdio read MB/s | ratio |\n|---|---|---|---|---|---|---|\n");
    for (const bool alone : {false, true})
        for (std::size_t objectBytes : {std::size_t{200}, std::size_t{20 * 1024}}) {
            std::vector<double> outRatio, inRatio, out, in, stdioOut, stdioIn;
            for (int round = 0; round < rounds; ++round) {
                const Rates swap = SwapRound(objectBytes, totalBytes, alone);
                const Rates stdio = StdioRound(totalBytes);
                out.push_back(swap.outMBps);
                in.push_back(swap.inMBps);
                stdioOut.push_back(stdio.outMBps);
                stdioIn.push_back(stdio.inMBps);
                outRatio.push_back(swap.outMBps / stdio.outMBps);
                inRatio.push_back(swap.inMBps / stdio.inMBps);
            }
            std::printf("| %zu B%s | %.0f | %.0f | %.2f | %.0f | %.0f | %.2f |\n", objectBytes,
                        alone ? ", alone" : "", Median(out), Median(stdioOut), Median(outRatio),
                        Median(in), Median(stdioIn), Median(inRatio));
        }
    rmdir(directory);
    return 0;
}
