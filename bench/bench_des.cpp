// Our DES against the single DES of the libraries a C++ developer would take instead (OpenSSL,
// Crypto++, Botan 2), on the same machine in one run: bulk throughput of ECB and CBC on 64 KiB,
// and the per-call cost of the crypt wrapper (new object, key schedule, CBC of a short message,
// wipe) against each library's own new object, key and CBC. Ends with a table of the medians and
// ours/best peer per operation. A peer that was not found when the build was configured is left
// out, and the table says so.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crypto/crypt_generic.h"
#include "crypto/des.h"

#ifdef QEL_BENCH_OPENSSL
#include <openssl/crypto.h>
#include <openssl/des.h>
#endif
#ifdef QEL_BENCH_CRYPTOPP
#include <cryptopp/des.h>
#include <cryptopp/modes.h>
#endif
#ifdef QEL_BENCH_BOTAN
#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/version.h>
#endif

namespace {

constexpr std::size_t kBulk = 64 * 1024;
const std::uint8_t kKey[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const std::uint8_t kZeroIv[8] = {};

std::string filled(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

// For the peers' byte pointers; a build without peers leaves them unused.
[[maybe_unused]] unsigned char* uc(std::string& s) {
    return reinterpret_cast<unsigned char*>(s.data());
}

[[maybe_unused]] const unsigned char* uc(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// Each library: its names, the bulk operations in place on a buffer (the CBC objects keep their
// chain across calls, as ours does), and one call from a new object to the CBC of `data`.

struct Ours {
    static constexpr const char* kName = "ours";
    static constexpr const char* kTitle = "ours";
    static std::string version() { return {}; }

    Ours() { des.init(kKey, 64, kZeroIv); }
    void ecb_encrypt(std::string& buffer) {
        des.encrypt_blocks(buffer.data(), buffer.data(), buffer.size() / 8);
    }
    void cbc(std::string& buffer, bool encrypt) {
        const auto size = static_cast<std::uint32_t>(buffer.size());
        if (encrypt)
            des.encrypt_cbc(buffer.data(), buffer.data(), size);
        else
            des.decrypt_cbc(buffer.data(), buffer.data(), size);
    }
    static std::string crypt(const std::string& data) {
        static const std::string key(reinterpret_cast<const char*>(kKey), 8);
        std::string result;
        qel::crypto::TCryptGeneric::crypt(key, data, 0, 1, result);
        return result;
    }

    qel::crypto::TKC_des des;
};

#ifdef QEL_BENCH_OPENSSL
// The single-DES calls are deprecated in OpenSSL 3, hence the warning switch on this file.
struct OpenSsl {
    static constexpr const char* kName = "openssl";
    static constexpr const char* kTitle = "OpenSSL";
    static std::string version() { return OpenSSL_version(OPENSSL_VERSION); }

    OpenSsl() { DES_set_key_unchecked(&key(), &schedule); }
    void ecb_encrypt(std::string& buffer) {
        for (std::size_t i = 0; i < buffer.size(); i += 8) {
            auto* block = reinterpret_cast<DES_cblock*>(&buffer[i]);
            DES_ecb_encrypt(block, block, &schedule, DES_ENCRYPT);
        }
    }
    void cbc(std::string& buffer, bool encrypt) {
        DES_ncbc_encrypt(uc(buffer), uc(buffer), long(buffer.size()), &schedule, &iv,
                         encrypt ? DES_ENCRYPT : DES_DECRYPT);
    }
    static std::string crypt(const std::string& data) {
        std::string result(data.size(), '\0');
        DES_key_schedule schedule;
        DES_cblock iv = {};
        DES_set_key_unchecked(&key(), &schedule);
        DES_ncbc_encrypt(uc(data), uc(result), long(data.size()), &schedule, &iv, DES_ENCRYPT);
        return result;
    }

    // OpenSSL takes the key through a non-const pointer.
    static DES_cblock& key() {
        static DES_cblock key = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
        return key;
    }
    DES_key_schedule schedule;
    DES_cblock iv = {};
};
#endif

#ifdef QEL_BENCH_CRYPTOPP
struct CryptoPp {
    static constexpr const char* kName = "cryptopp";
    static constexpr const char* kTitle = "Crypto++";
    static std::string version() {
        return std::to_string(CRYPTOPP_VERSION / 100) + "." +
               std::to_string(CRYPTOPP_VERSION / 10 % 10) + "." +
               std::to_string(CRYPTOPP_VERSION % 10);
    }

    void ecb_encrypt(std::string& buffer) {
        ecb.ProcessData(uc(buffer), uc(buffer), buffer.size());
    }
    void cbc(std::string& buffer, bool encrypt) {
        if (encrypt)
            cbc_encryption.ProcessData(uc(buffer), uc(buffer), buffer.size());
        else
            cbc_decryption.ProcessData(uc(buffer), uc(buffer), buffer.size());
    }
    static std::string crypt(const std::string& data) {
        std::string result(data.size(), '\0');
        CryptoPP::CBC_Mode<CryptoPP::DES>::Encryption mode(kKey, 8, kZeroIv);
        mode.ProcessData(uc(result), uc(data), data.size());
        return result;
    }

    CryptoPP::ECB_Mode<CryptoPP::DES>::Encryption ecb{kKey, 8};
    CryptoPP::CBC_Mode<CryptoPP::DES>::Encryption cbc_encryption{kKey, 8, kZeroIv};
    CryptoPP::CBC_Mode<CryptoPP::DES>::Decryption cbc_decryption{kKey, 8, kZeroIv};
};
#endif

#ifdef QEL_BENCH_BOTAN
struct Botan2 {
    static constexpr const char* kName = "botan";
    static constexpr const char* kTitle = "Botan 2";
    static std::string version() { return Botan::short_version_string(); }

    Botan2() { block->set_key(kKey, 8); }
    void ecb_encrypt(std::string& buffer) {
        block->encrypt_n(uc(buffer), uc(buffer), buffer.size() / 8);
    }
    void cbc(std::string& buffer, bool encrypt) {
        (encrypt ? cbc_encryption : cbc_decryption)->process(uc(buffer), buffer.size());
    }
    static std::string crypt(const std::string& data) {
        std::string result = data;
        cbc_mode(true)->process(uc(result), result.size());
        return result;
    }

    static std::unique_ptr<Botan::Cipher_Mode> cbc_mode(bool encrypt) {
        auto mode = Botan::Cipher_Mode::create_or_throw(
            "DES/CBC/NoPadding", encrypt ? Botan::ENCRYPTION : Botan::DECRYPTION);
        mode->set_key(kKey, 8);
        mode->start(kZeroIv, 8);
        return mode;
    }
    std::unique_ptr<Botan::BlockCipher> block = Botan::BlockCipher::create_or_throw("DES");
    std::unique_ptr<Botan::Cipher_Mode> cbc_encryption = cbc_mode(true);
    std::unique_ptr<Botan::Cipher_Mode> cbc_decryption = cbc_mode(false);
};
#endif

// Every peer named here; those the configure step did not find are reported as left out.
constexpr const char* kAllPeers[][2] = {
    {"openssl", "OpenSSL"}, {"cryptopp", "Crypto++"}, {"botan", "Botan 2"}};

// --- the benchmarks ---

template <typename Library>
void ecb_encrypt(benchmark::State& state) {
    Library library;
    std::string buffer = filled(kBulk);
    for (auto _ : state) {
        library.ecb_encrypt(buffer);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kBulk));
}

template <typename Library, bool Encrypt>
void cbc(benchmark::State& state) {
    Library library;
    std::string buffer = filled(kBulk);
    for (auto _ : state) {
        library.cbc(buffer, Encrypt);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kBulk));
}

template <typename Library>
void crypt_call(benchmark::State& state) {
    const std::string data = filled(std::size_t(state.range(0)));
    for (auto _ : state) {
        std::string result = Library::crypt(data);
        benchmark::DoNotOptimize(result.data());
    }
}

// Every peer must compute what we compute, or the comparison says nothing.
template <typename Library>
bool computes_our_results() {
    const std::string plain = filled(4096);
    const char* differs = nullptr;
    std::string expected = plain, got = plain;
    Ours().ecb_encrypt(expected);
    Library().ecb_encrypt(got);
    if (got != expected)
        differs = "ECB encryption";
    for (bool encrypt : {true, false}) {
        // New objects each time: the CBC ones continue their chain from call to call.
        expected = plain;
        got = plain;
        Ours().cbc(expected, encrypt);
        Library().cbc(got, encrypt);
        if (got != expected)
            differs = encrypt ? "CBC encryption" : "CBC decryption";
    }
    for (std::size_t size : {8, 16, 24}) {
        if (Library::crypt(plain.substr(0, size)) != Ours::crypt(plain.substr(0, size)))
            differs = "the per-call CBC";
    }
    if (differs != nullptr)
        std::fprintf(stderr, "%s computes something other than our DES in %s\n", Library::kTitle,
                     differs);
    return differs == nullptr;
}

template <typename... Library>
struct Measured {
    // Operation by operation, ours first, so that the libraries of one row run side by side.
    static void register_benchmarks() {
        (add("ECB encrypt 64 KiB", Library::kName, ecb_encrypt<Library>), ...);
        (add("CBC encrypt 64 KiB", Library::kName, cbc<Library, true>), ...);
        (add("CBC decrypt 64 KiB", Library::kName, cbc<Library, false>), ...);
        for (int size : {8, 16}) {
            const std::string op = "key setup + CBC " + std::to_string(size) + " bytes";
            (add(op, Library::kName, crypt_call<Library>)->Arg(size), ...);
        }
    }
    static bool comparable() { return (computes_our_results<Library>() && ...); }
    // Name and version of each peer, ours left out.
    static std::vector<std::pair<std::string, std::string>> peers() {
        std::vector<std::pair<std::string, std::string>> list = {
            {Library::kName, Library::version()}...};
        list.erase(list.begin());
        return list;
    }

private:
    static benchmark::internal::Benchmark* add(const std::string& op, const char* library,
                                               void (*run)(benchmark::State&)) {
        return benchmark::RegisterBenchmark((op + "/" + library).c_str(), run);
    }
};

using Libraries = Measured<Ours
#ifdef QEL_BENCH_OPENSSL
                           ,
                           OpenSsl
#endif
#ifdef QEL_BENCH_CRYPTOPP
                           ,
                           CryptoPp
#endif
#ifdef QEL_BENCH_BOTAN
                           ,
                           Botan2
#endif
                           >;

// Shows every run as usual and keeps, per benchmark, the median of its repetitions: of the single
// runs, or the median aggregate when only aggregates are reported.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const bool single = run.run_type == Run::RT_Iteration;
            if (run.error_occurred || (!single && run.aggregate_name != "median"))
                continue;
            const std::string name = run.run_name.function_name;
            const auto counter = run.counters.find("bytes_per_second");
            const bool bulk = counter != run.counters.end();
            // Time is in the default unit, nanoseconds.
            const double value = bulk ? counter->second.value / 1e6 : run.GetAdjustedCPUTime();
            (single ? samples_ : medians_)[name].push_back(value);
            bulk_[name] = bulk;
            if (std::find(order_.begin(), order_.end(), name) == order_.end())
                order_.push_back(name);
        }
    }

    void print_table(const std::vector<std::pair<std::string, std::string>>& present) const {
        std::printf(
            "\nMedians. Bulk rows in MB/s, higher is better; ours/best = ours over the best peer,"
            " >= 1 is at least parity.\nPer-call rows in ns per call, lower is better; ours/best"
            " = ours over the best peer, <= 1 is at least parity.\n");
        std::vector<std::pair<std::string, std::string>> columns;  // name, title
        for (const auto& [name, title] : kAllPeers) {
            const auto it = std::find_if(present.begin(), present.end(),
                                         [&](const auto& p) { return p.first == name; });
            if (it == present.end()) {
                std::printf("  %-9s not found when the build was configured: left out\n", title);
            } else {
                std::printf("  %-9s %s\n", title, it->second.c_str());
                columns.emplace_back(name, title);
            }
        }
        std::printf("\n%-26s %-4s %9s", "operation", "unit", "ours");
        for (const auto& column : columns)
            std::printf(" %9s", column.second.c_str());
        std::printf(" %9s %9s\n", "best peer", "ours/best");

        for (const auto& op : operations()) {
            const bool bulk = bulk_.at(op + "/ours");
            const double ours = median_of(op + "/ours");
            std::printf("%-26s %-4s %9.1f", op.c_str(), bulk ? "MB/s" : "ns", ours);
            double best = 0;
            std::string best_title = "-";
            for (const auto& [name, title] : columns) {
                const double value = median_of(op + "/" + name);
                if (value <= 0) {
                    std::printf(" %9s", "-");
                    continue;
                }
                std::printf(" %9.1f", value);
                if (best <= 0 || (bulk ? value > best : value < best)) {
                    best = value;
                    best_title = title;
                }
            }
            if (best > 0 && ours > 0)
                std::printf(" %9s %9.2f\n", best_title.c_str(), ours / best);
            else
                std::printf(" %9s %9s\n", "-", "-");
        }
    }

private:
    // In the order they ran.
    std::vector<std::string> operations() const {
        std::vector<std::string> list;
        for (const auto& name : order_) {
            const auto slash = name.rfind("/ours");
            if (slash != std::string::npos && slash + 5 == name.size())
                list.push_back(name.substr(0, slash));
        }
        return list;
    }

    double median_of(const std::string& name) const {
        const auto single = samples_.find(name);
        const auto aggregate = medians_.find(name);
        std::vector<double> v;
        if (single != samples_.end())
            v = single->second;
        else if (aggregate != medians_.end())
            v = aggregate->second;
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> samples_, medians_;
    std::map<std::string, bool> bulk_;
    std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!Libraries::comparable())
        return 1;
    Libraries::register_benchmarks();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_table(Libraries::peers());
    benchmark::Shutdown();
    return 0;
}
