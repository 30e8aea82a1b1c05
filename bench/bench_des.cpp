// Our DES against OpenSSL's single DES on the same machine, in one run: bulk throughput of
// ECB and CBC on 64 KiB, and the per-call cost of the crypt wrapper (key schedule, CBC of a
// short message, wipe) against OpenSSL's key setup plus CBC. Ends with a table of ratios.
#include <benchmark/benchmark.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crypto/crypt_generic.h"
#include "crypto/des.h"

namespace {

using qel::crypto::TCryptGeneric;
using qel::crypto::TKC_des;

constexpr std::size_t kBulk = 64 * 1024;
// OpenSSL takes its key through a non-const pointer.
DES_cblock g_key = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const std::string kKey(reinterpret_cast<const char*>(g_key), 8);

std::string filled(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

unsigned char* uc(std::string& s) {
    return reinterpret_cast<unsigned char*>(s.data());
}

struct OpenSsl {
    OpenSsl() { DES_set_key_unchecked(&g_key, &schedule); }
    DES_key_schedule schedule;
};

// --- bulk ---

void ecb_encrypt_ours(benchmark::State& state) {
    TKC_des des;
    des.init(kKey.data(), 64, nullptr);
    std::string buffer = filled(kBulk);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBulk; i += 8)
            des.encrypt_block(&buffer[i], &buffer[i]);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBulk);
}

void ecb_encrypt_openssl(benchmark::State& state) {
    OpenSsl ossl;
    std::string buffer = filled(kBulk);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBulk; i += 8) {
            auto* block = reinterpret_cast<DES_cblock*>(&buffer[i]);
            DES_ecb_encrypt(block, block, &ossl.schedule, DES_ENCRYPT);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBulk);
}

template <bool Encrypt>
void cbc_ours(benchmark::State& state) {
    TKC_des des;
    des.init(kKey.data(), 64, nullptr);
    std::string buffer = filled(kBulk);
    for (auto _ : state) {
        if (Encrypt) {
            des.encrypt_cbc(buffer.data(), buffer.data(), kBulk);
        } else {
            des.decrypt_cbc(buffer.data(), buffer.data(), kBulk);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBulk);
}

template <bool Encrypt>
void cbc_openssl(benchmark::State& state) {
    OpenSsl ossl;
    std::string buffer = filled(kBulk);
    DES_cblock iv = {};
    for (auto _ : state) {
        DES_ncbc_encrypt(uc(buffer), uc(buffer), long(kBulk), &ossl.schedule, &iv,
                         Encrypt ? DES_ENCRYPT : DES_DECRYPT);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBulk);
}

// --- per call ---

void crypt_call_ours(benchmark::State& state) {
    const std::string data = filled(std::size_t(state.range(0)));
    std::string result;
    for (auto _ : state) {
        TCryptGeneric::crypt(kKey, data, 0, 1, result);
        benchmark::DoNotOptimize(result.data());
    }
}

void crypt_call_openssl(benchmark::State& state) {
    std::string data = filled(std::size_t(state.range(0)));
    std::string result(data.size(), '\0');
    for (auto _ : state) {
        DES_key_schedule schedule;
        DES_cblock iv = {};
        DES_set_key_unchecked(&g_key, &schedule);
        DES_ncbc_encrypt(uc(data), uc(result), long(data.size()), &schedule, &iv, DES_ENCRYPT);
        benchmark::DoNotOptimize(result.data());
    }
}

BENCHMARK(ecb_encrypt_ours)->Name("ECB encrypt 64 KiB/ours");
BENCHMARK(ecb_encrypt_openssl)->Name("ECB encrypt 64 KiB/openssl");
BENCHMARK(cbc_ours<true>)->Name("CBC encrypt 64 KiB/ours");
BENCHMARK(cbc_openssl<true>)->Name("CBC encrypt 64 KiB/openssl");
BENCHMARK(cbc_ours<false>)->Name("CBC decrypt 64 KiB/ours");
BENCHMARK(cbc_openssl<false>)->Name("CBC decrypt 64 KiB/openssl");
BENCHMARK(crypt_call_ours)->Name("key setup + CBC 8 bytes/ours")->Arg(8);
BENCHMARK(crypt_call_openssl)->Name("key setup + CBC 8 bytes/openssl")->Arg(8);
BENCHMARK(crypt_call_ours)->Name("key setup + CBC 16 bytes/ours")->Arg(16);
BENCHMARK(crypt_call_openssl)->Name("key setup + CBC 16 bytes/openssl")->Arg(16);

// Shows every run as usual and keeps, per benchmark, the median of its repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            std::string name = run.run_name.function_name;
            const auto counter = run.counters.find("bytes_per_second");
            const bool bulk = counter != run.counters.end();
            // Time is in the default unit, nanoseconds.
            samples_[name].push_back(bulk ? counter->second.value / 1e6 : run.GetAdjustedCPUTime());
            bulk_[name] = bulk;
        }
    }

    void print_ratios() const {
        std::printf("\n%-30s %12s %12s %8s\n", "operation", "ours", "OpenSSL", "ratio");
        for (const auto& [name, values] : samples_) {
            const auto slash = name.rfind("/ours");
            if (slash == std::string::npos || slash + 5 != name.size())
                continue;
            const std::string op = name.substr(0, slash);
            const auto other = samples_.find(op + "/openssl");
            if (other == samples_.end())
                continue;
            const double ours = median(values), theirs = median(other->second);
            const bool bulk = bulk_.at(name);
            std::printf("%-30s %9.1f %s %9.1f %s %8.2f  (%s)\n", op.c_str(), ours,
                        bulk ? "MB/s" : "ns  ", theirs, bulk ? "MB/s" : "ns  ", ours / theirs,
                        bulk ? "ours/OpenSSL throughput, >= 1 is at least parity"
                             : "ours/OpenSSL time per call, <= 1 is at least parity");
        }
    }

private:
    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> samples_;
    std::map<std::string, bool> bulk_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
