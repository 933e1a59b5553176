// A bounded mutation loop around the fuzz target, for builds without libFuzzer: valid streams
// of every command type are mutated (bit flips, boundary values in length fields, cuts,
// repeats, splices) for a fixed number of runs from a fixed seed, so a run is repeatable.
// Arguments: --runs=N, --seed=N, or files to replay.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "WireBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using namespace CollectorTest;

namespace {

std::vector<Bytes> Seeds() {
    const Bytes scalar = Record(6, "count", {5, 0, 0, 0});
    const Bytes text = Record(12, "s", Concat({{4, 0}, Utf16(u"h\u00e9")}));
    Bytes longText = Concat({{0x10, 0x27, 0, 0}, Bytes(4096, 'x')});
    const Bytes longRecord = Record(19, "l", longText);
    const Bytes structure = Record(13, "uri", Concat({Builder().Text16("System.Uri").U8(2).bytes, scalar, text}));
    const Bytes bytes = Record(15, "b", {3, 3, 1, 2, 3});
    const Bytes nested = Record(15, "rows", Concat({{15, 1}, Record(15, "0", {3, 1, 9})}));
    const Bytes object = Record(14, "o", Concat({Builder().Text16("X").U8(1).bytes, structure}));
    const Bytes process = Builder().U32(4711).bytes;

    std::vector<Bytes> seeds = {
        BeginCall(1),
        BeginCall(2, {scalar, text, structure, bytes}),
        BeginCall(3, {longRecord}),
        BeginCall(4, {nested, object, Record(17, "n"), Record(16, "e")}),
        EndCall(2, 7, 2000, false, scalar),
        EndCall(2, 7, 2000, true),
        MethodInfo(2, "App.Program", "Main"),
        Unwind(3),
        Exception(99),
        ExceptionDetails(99, "Shop.Refused`1", "no \xC3\xA9", 2),
        ExceptionDetails(98, "", "", 1),
        Command(9, process),
        Command(10, process),
        Command(11, Builder().U64(1000000000).bytes),
        Command(12, Builder().Text16(".NET 8.0.0").Text16("DOTNET_CORE").Text16("key").bytes),
        Command(104, Builder().Text16("1.2.3").bytes),
        Command(100, Builder().U8(1).U16(4).Raw(Utf16(u"ab")).U8(1).U16(0).U8(1).U16(0).U8(1).U16(0).U64(5).bytes),
        Command(101, Builder().Text16("http://h/").U8(3).Text("GET").U16(200).U64(7).bytes),
    };
    // Time stamps at the ends of their range, as a broken or hostile sender might send them.
    seeds.push_back(Concat({MethodInfo(1, "A", "F"), BeginCall(1, {}, 7, INT64_MIN + 1000), EndCall(1, 7, INT64_MAX),
                            BeginCall(1, {}, 7, INT64_MAX), EndCall(1, 7, INT64_MIN)}));
    // A whole conversation on one stream: announcements, names, nested calls, an exception.
    seeds.push_back(Concat({Command(9, process), MethodInfo(1, "A", "Outer"), MethodInfo(2, "A", "Inner"), BeginCall(1),
                            BeginCall(2, {scalar}), Exception(5), ExceptionDetails(5, "E", "m"), Unwind(2), EndCall(1),
                            Command(10, process)}));
    return seeds;
}

class Mutator {
public:
    explicit Mutator(uint32_t seed) : random(seed) {}

    Bytes Mutate(Bytes input, const std::vector<Bytes>& seeds) {
        const int rounds = 1 + Below(6);
        for (int i = 0; i < rounds; ++i) Once(input, seeds);
        return input;
    }

private:
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(random() % n); }

    void Once(Bytes& input, const std::vector<Bytes>& seeds) {
        static const uint8_t interesting[] = {0, 1, 2, 3, 18, 19, 20, 0x7F, 0x80, 0xFE, 0xFF};
        switch (Below(9)) {
            case 0:
                if (!input.empty()) input[Below(input.size())] ^= static_cast<uint8_t>(1u << Below(8));
                break;
            case 1:
                if (!input.empty()) input[Below(input.size())] = interesting[Below(sizeof(interesting))];
                break;
            case 2:  // a length field, of a command or a record, set to a boundary value
                if (input.size() >= 2) {
                    const size_t at = Below(input.size() - 1);
                    static const uint16_t lengths[] = {0, 1, 2, 3, 18, 19, 20, 0x7FFF, 0x8000, 0xFFFF};
                    const uint16_t value = lengths[Below(std::size(lengths))];
                    input[at] = static_cast<uint8_t>(value);
                    input[at + 1] = static_cast<uint8_t>(value >> 8);
                }
                break;
            case 3:
                if (!input.empty()) input.resize(Below(input.size()));
                break;
            case 4:
                if (!input.empty()) {
                    const size_t at = Below(input.size());
                    input.erase(input.begin() + static_cast<long>(at),
                                input.begin() + static_cast<long>(at + Below(input.size() - at) + 1));
                }
                break;
            case 5: {
                const size_t at = Below(input.size() + 1);
                input.insert(input.begin() + static_cast<long>(at), Below(16) + 1, static_cast<uint8_t>(random()));
                break;
            }
            case 6:
                if (!input.empty() && input.size() < 65536) {
                    const size_t from = Below(input.size());
                    const size_t length = Below(input.size() - from) + 1;
                    const Bytes piece(input.begin() + static_cast<long>(from),
                                      input.begin() + static_cast<long>(from + length));
                    input.insert(input.begin() + static_cast<long>(Below(input.size() + 1)), piece.begin(),
                                 piece.end());
                }
                break;
            case 7: {
                const Bytes& other = seeds[Below(seeds.size())];
                input.insert(input.begin() + static_cast<long>(Below(input.size() + 1)), other.begin(), other.end());
                break;
            }
            default:
                if (input.size() >= 3) input[2] = static_cast<uint8_t>(Below(2) ? random() : 1 + Below(14));
                break;
        }
    }

    std::mt19937 random;
};

Bytes ReadFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long runs = 20000;
    uint32_t seed = 1;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::strtoul(argv[i] + 7, nullptr, 10);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            seed = static_cast<uint32_t>(std::strtoul(argv[i] + 7, nullptr, 10));
        } else {
            files.push_back(argv[i]);
        }
    }
    if (!files.empty()) {
        for (const char* path : files) {
            const Bytes input = ReadFile(path);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        std::printf("replayed %zu inputs\n", files.size());
        return 0;
    }
    const std::vector<Bytes> seeds = Seeds();
    for (const Bytes& input : seeds) LLVMFuzzerTestOneInput(input.data(), input.size());
    Mutator mutator(seed);
    // Mutants of mutants too, so that damage accumulates; a crash names its run and seed.
    Bytes previous = seeds.back();
    for (unsigned long run = 0; run < runs; ++run) {
        const Bytes& base = run % 3 == 0 ? previous : seeds[run % seeds.size()];
        Bytes input = mutator.Mutate(base, seeds);
        if (input.size() > 70000) input.resize(70000);
        if (std::getenv("QX_FUZZ_SAVE") != nullptr) {
            std::ofstream(std::getenv("QX_FUZZ_SAVE"), std::ios::binary)
                .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        previous = std::move(input);
    }
    std::printf("%lu mutated inputs from seed %u: no fault\n", runs, seed);
    return 0;
}
