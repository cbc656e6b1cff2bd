// Throughput of sha1::calcShaHash (on each of its engines), base64_encode_s
// and base64_decode next to OpenSSL's SHA-1 and EVP_EncodeBlock /
// EVP_DecodeBlock, on certificate-sized (1.5 KiB) and 1 MiB inputs. After the usual benchmark output a Markdown table gives, per
// operation and size, both throughputs in MB/s and the ratio ours / OpenSSL.
//
// OpenSSL's SHA-1 is driven through SHA1_Init/Update/Final: the direct path
// to its block function, without the provider lookup of the one-shot and EVP
// interfaces, so the comparison is against its fastest code.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base64.h"
#include "sha1.h"

#include <unistd.h>

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const std::vector<unsigned char>& input(std::size_t n) {
    static std::map<std::size_t, std::vector<unsigned char>> cache;
    auto& v = cache[n];
    if (v.empty()) {
        std::mt19937 rng(static_cast<unsigned>(n));
        v.resize(n);
        for (auto& b : v) b = static_cast<unsigned char>(rng());
    }
    return v;
}

// The standard encoding of input(n), for the decoders.
const std::string& encodedInput(std::size_t n) {
    static std::map<std::size_t, std::string> cache;
    auto& s = cache[n];
    if (s.empty()) s = base64_encode_s(input(n).data(), static_cast<unsigned int>(n), kAlphabet);
    return s;
}

void sha1Throughput(benchmark::State& state, sha1::Engine engine) {
    if (!sha1::cpuHas(engine)) {
        state.SkipWithError("this CPU does not offer the engine");
        return;
    }
    sha1::limitEngine(engine);
    const auto& in = input(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[20];
    for (auto _ : state) {
        sha1::calcShaHash(in.data(), static_cast<int>(in.size()), digest);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    sha1::limitEngine(sha1::Engine::shaExtensions);
}

void BM_Sha1_Extensions(benchmark::State& state) { sha1Throughput(state, sha1::Engine::shaExtensions); }
void BM_Sha1_Avx2(benchmark::State& state) { sha1Throughput(state, sha1::Engine::avx2); }
void BM_Sha1_Ssse3(benchmark::State& state) { sha1Throughput(state, sha1::Engine::ssse3); }
void BM_Sha1_Portable(benchmark::State& state) { sha1Throughput(state, sha1::Engine::portable); }

void BM_Sha1_OpenSSL(benchmark::State& state) {
    const auto& in = input(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[20];
    for (auto _ : state) {
        SHA_CTX ctx;
        SHA1_Init(&ctx);
        SHA1_Update(&ctx, in.data(), in.size());
        SHA1_Final(digest, &ctx);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Encode_Ours(benchmark::State& state) {
    const auto& in = input(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string text = base64_encode_s(in.data(), static_cast<unsigned int>(in.size()), kAlphabet);
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
    const auto& in = input(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> out(4 * ((in.size() + 2) / 3) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode_Ours(benchmark::State& state) {
    const auto& text = encodedInput(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        unsigned int len = 0;
        unsigned char* out = base64_decode(text.data(), static_cast<unsigned int>(text.size()), &len);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
    const auto& text = encodedInput(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> out(text.size() / 4 * 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                                 static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

#define CODEC_SIZES Arg(1536)->Arg(1 << 20)
BENCHMARK(BM_Sha1_Extensions)->CODEC_SIZES;
BENCHMARK(BM_Sha1_Avx2)->CODEC_SIZES;
BENCHMARK(BM_Sha1_Ssse3)->CODEC_SIZES;
BENCHMARK(BM_Sha1_Portable)->CODEC_SIZES;
BENCHMARK(BM_Sha1_OpenSSL)->CODEC_SIZES;
BENCHMARK(BM_Base64Encode_Ours)->CODEC_SIZES;
BENCHMARK(BM_Base64Encode_OpenSSL)->CODEC_SIZES;
BENCHMARK(BM_Base64Decode_Ours)->CODEC_SIZES;
BENCHMARK(BM_Base64Decode_OpenSSL)->CODEC_SIZES;

// Shows every run as usual and remembers each benchmark's throughput (the
// median when repetitions are asked for) for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end()) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            const std::string key = run.run_name.function_name + "/" + run.run_name.args;
            if (median || !haveMedian_[key]) rate_[key] = it->second.value;
            if (median) haveMedian_[key] = true;
        }
    }

    double rate(const std::string& key) const {
        const auto it = rate_.find(key);
        return it == rate_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rate_;
    std::map<std::string, bool> haveMedian_;
};

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

void printRatios(const RatioReporter& reporter) {
    const char* cap = std::getenv("OPENSSL_ia32cap");
    std::printf("\nCPU: %s\nOPENSSL_ia32cap: %s\n\n", cpuModel().c_str(), cap ? cap : "(unset)");
    std::printf("| operation | size | ours MB/s | OpenSSL MB/s | ours/OpenSSL |\n|---|---|---:|---:|---:|\n");
    const struct {
        const char* label;
        const char* ours;
        const char* theirs;
    } rows[] = {{"SHA-1, SHA extensions", "BM_Sha1_Extensions", "BM_Sha1_OpenSSL"},
                {"SHA-1, AVX2+BMI2", "BM_Sha1_Avx2", "BM_Sha1_OpenSSL"},
                {"SHA-1, SSSE3", "BM_Sha1_Ssse3", "BM_Sha1_OpenSSL"},
                {"SHA-1, portable", "BM_Sha1_Portable", "BM_Sha1_OpenSSL"},
                {"Base64 encode", "BM_Base64Encode_Ours", "BM_Base64Encode_OpenSSL"},
                {"Base64 decode", "BM_Base64Decode_Ours", "BM_Base64Decode_OpenSSL"}};
    const struct {
        const char* label;
        const char* arg;
    } sizes[] = {{"1.5 KiB", "1536"}, {"1 MiB", "1048576"}};
    for (const auto& row : rows) {
        for (const auto& size : sizes) {
            const double ours = reporter.rate(std::string(row.ours) + "/" + size.arg);
            const double theirs = reporter.rate(std::string(row.theirs) + "/" + size.arg);
            if (ours <= 0 || theirs <= 0) continue;  // filtered out, or no SHA extensions
            std::printf("| %s | %s | %.0f | %.0f | %.2f |\n", row.label, size.label, ours / 1e6, theirs / 1e6,
                        ours / theirs);
        }
    }
}

// Instruction counting (scripts/bench.sh runs this under callgrind):
//   codec_bench count OPERATION SIZE REPEATS
// runs one operation REPEATS times on input(SIZE) and prints what ran; the
// difference between two counts of different REPEATS is the cost per call.
int countMode(const char* operation, std::size_t size, long repeats) {
    const auto& in = input(size);
    const std::string& text = encodedInput(size);
    std::vector<unsigned char> out(4 * ((size + 2) / 3) + 1);
    unsigned char digest[20] = {};
    const std::string op = operation;
    const char* ran = operation;
    const struct {
        const char* name;
        sha1::Engine engine;
    } engines[] = {{"sha1-portable", sha1::Engine::portable},
                   {"sha1-ssse3", sha1::Engine::ssse3},
                   {"sha1-avx2", sha1::Engine::avx2},
                   {"sha1-extensions", sha1::Engine::shaExtensions}};
    bool known = false;
    for (const auto& e : engines) {
        if (op != e.name) continue;
        known = true;
        sha1::limitEngine(e.engine);
        ran = sha1::engineName(sha1::engine());
        for (long i = 0; i < repeats; ++i) {
            sha1::calcShaHash(in.data(), static_cast<int>(size), digest);
            benchmark::DoNotOptimize(digest);
        }
    }
    if (op == "sha1-openssl") {
        known = true;
        for (long i = 0; i < repeats; ++i) {
            SHA_CTX ctx;
            SHA1_Init(&ctx);
            SHA1_Update(&ctx, in.data(), in.size());
            SHA1_Final(digest, &ctx);
            benchmark::DoNotOptimize(digest);
        }
    } else if (op == "base64-encode") {
        known = true;
        for (long i = 0; i < repeats; ++i) {
            benchmark::DoNotOptimize(base64_encode_into(reinterpret_cast<char*>(out.data()), in.data(),
                                                        static_cast<unsigned int>(size)));
        }
    } else if (op == "base64-encode-openssl") {
        known = true;
        for (long i = 0; i < repeats; ++i)
            benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(size)));
    } else if (op == "base64-decode") {
        known = true;
        for (long i = 0; i < repeats; ++i) {
            unsigned int len = 0;
            unsigned char* decoded = base64_decode(text.data(), static_cast<unsigned int>(text.size()), &len);
            benchmark::DoNotOptimize(decoded);
            std::free(decoded);
        }
    } else if (op == "base64-decode-openssl") {
        known = true;
        for (long i = 0; i < repeats; ++i)
            benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                                     static_cast<int>(text.size())));
    }
    if (!known) {
        std::fprintf(stderr, "unknown operation %s\n", operation);
        return 2;
    }
    std::printf("%s\n", ran);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "count") == 0)
        return countMode(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtol(argv[4], nullptr, 10));
    // Colour only on a terminal, and never when asked not to.
    bool color = isatty(STDOUT_FILENO) != 0;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--benchmark_color=false") == 0) color = false;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(color ? benchmark::ConsoleReporter::OO_ColorTabular : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printRatios(reporter);
    return 0;
}
