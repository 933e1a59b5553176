// Every method body of real framework assemblies goes through the rewriter twice: exported
// unchanged, it must come back byte for byte; with a probe sequence inserted at entry and before
// every ret, every branch, switch and clause must still point at the same original instructions.

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "il/ILRewriter.h"
#include "il/assemblies/PeImage.h"
#include "il/assemblies/ReferenceDecoder.h"

using namespace iltest;

namespace {

constexpr uint32_t kProbeCall = 0x0A000001;  // the probe: ldc.i4 <method token>; call kProbeCall
constexpr unsigned kProbeBytes = 10;

// Bodies are copied to the very end of a mapping followed by an inaccessible page, so any read
// past a body faults instead of landing in the next one.
class GuardedArena {
public:
    explicit GuardedArena(size_t capacity) {
        page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataBytes = (capacity + page - 1) / page * page;
        void* region = mmap(nullptr, dataBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base = region == MAP_FAILED ? nullptr : static_cast<uint8_t*>(region);
        if (base != nullptr) mprotect(base + dataBytes, page, PROT_NONE);
    }
    ~GuardedArena() {
        if (base != nullptr) munmap(base, dataBytes + page);
    }
    const uint8_t* Place(const uint8_t* bytes, size_t size) {
        if (base == nullptr || size > dataBytes) return nullptr;
        uint8_t* at = base + dataBytes - size;
        std::memcpy(at, bytes, size);
        return at;
    }

private:
    uint8_t* base = nullptr;
    size_t page = 0;
    size_t dataBytes = 0;
};

struct Stats {
    size_t methods = 0;
    size_t withBody = 0;
    size_t bodies = 0;  // distinct RVAs
    size_t checked = 0;
    size_t tiny = 0;
    size_t withClauses = 0;
    size_t clauses = 0;
    size_t switches = 0;
    size_t rets = 0;
    size_t widened = 0;
    size_t truncations = 0;
    size_t largestCode = 0;
    std::vector<std::string> failures;
};

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

uint32_t RewriterOpcode(uint32_t referenceOpcode) {
    return referenceOpcode >= 0xFE00 ? 0x100 + (referenceOpcode & 0xFF) : referenceOpcode;
}

bool IsBranchKind(OperandKind kind) {
    return kind == OperandKind::ShortBranch || kind == OperandKind::LongBranch || kind == OperandKind::Switch;
}

// The code of an exported fat body is padded to 4 bytes even when no section follows it.
bool ExactExtent(const RefBody& body, size_t size) {
    return size == (body.clauses.empty() ? (body.totalSize + 3) & ~size_t{3} : body.totalSize);
}

bool Contains(uint32_t start, uint32_t length, uint32_t offset) {
    return offset >= start && static_cast<uint64_t>(offset) < static_cast<uint64_t>(start) + length;
}

class BodyCheck {
public:
    BodyCheck(GuardedArena& guarded, std::mt19937& rng, Stats& totals) : arena(guarded), random(rng), stats(totals) {}

    // Empty when the body passed; otherwise what went wrong.
    std::string Run(const uint8_t* bytes, size_t available, uint32_t token) {
        std::string why;
        if (!RefParseBody(bytes, available, &original, &why)) return "reference parse: " + why;
        if (!RefDecodeCode(original.code, &originalCode, &why)) return "reference decode: " + why;
        stats.tiny += original.fat ? 0 : 1;
        stats.withClauses += original.clauses.empty() ? 0 : 1;
        stats.clauses += original.clauses.size();
        stats.largestCode = std::max(stats.largestCode, original.code.size());
        const uint8_t* placed = arena.Place(bytes, original.totalSize);
        if (placed == nullptr) return "body larger than the arena";
        if (std::string r = RoundTrip(placed, token); !r.empty()) return "round trip: " + r;
        if (std::string r = Truncations(bytes, token); !r.empty()) return "truncation: " + r;
        placed = arena.Place(bytes, original.totalSize);
        if (std::string r = Probes(placed, token); !r.empty()) return "probes: " + r;
        return {};
    }

private:
    std::string RoundTrip(const uint8_t* placed, uint32_t token) {
        ILRewriter rewriter(nullptr, nullptr, 0, token);
        HRESULT hr = rewriter.ImportBody(placed, original.totalSize);
        if (FAILED(hr)) return "import failed " + Hex(static_cast<uint32_t>(hr));
        std::vector<uint8_t> out;
        hr = rewriter.Encode(out);
        if (FAILED(hr)) return "export failed " + Hex(static_cast<uint32_t>(hr));
        RefBody again;
        std::string why;
        if (!RefParseBody(out.data(), out.size(), &again, &why)) return "exported body unreadable: " + why;
        if (!ExactExtent(again, out.size())) return "exported body has trailing bytes";
        if (!again.fat) return "exported with a tiny header";
        if (again.code != original.code) return "code bytes differ";
        std::vector<RefInstruction> code;
        if (!RefDecodeCode(again.code, &code, &why) || code.size() != originalCode.size()) return "instructions differ";
        for (size_t i = 0; i < code.size(); ++i) {
            if (code[i].offset != originalCode[i].offset || code[i].opcode != originalCode[i].opcode ||
                code[i].operand != originalCode[i].operand || code[i].targets != originalCode[i].targets) {
                return "instruction " + std::to_string(i) + " differs";
            }
        }
        if (again.clauses != original.clauses) return "clauses differ";
        if (again.localSig != original.localSig) return "local signature differs";
        if ((again.flags & 0x10) != (original.flags & 0x10)) return "InitLocals differs";
        if (again.maxStack < original.maxStack) return "max stack shrank";
        return {};
    }

    // A body cut anywhere short of its end is refused, and nothing past the cut is read.
    std::string Truncations(const uint8_t* bytes, uint32_t token) {
        const size_t total = original.totalSize;
        for (size_t length : {total - 1, static_cast<size_t>(random() % total)}) {
            const uint8_t* placed = arena.Place(bytes, length);
            ILRewriter rewriter(nullptr, nullptr, 0, token);
            const HRESULT hr = rewriter.ImportBody(placed, length);
            ++stats.truncations;
            if (hr != COR_E_INVALIDPROGRAM)
                return "cut at " + std::to_string(length) + " gave " + Hex(static_cast<uint32_t>(hr));
        }
        return {};
    }

    std::string Probes(const uint8_t* placed, uint32_t token) {
        ILRewriter rewriter(nullptr, nullptr, 0, token);
        if (FAILED(rewriter.ImportBody(placed, original.totalSize))) return "import failed";
        const size_t count = originalCode.size();
        const uint32_t oldSize = static_cast<uint32_t>(original.code.size());
        std::vector<int32_t> oldIndex(oldSize + 1, -1);
        std::vector<ILInstruction*> identity(count);  // the node branches aim at
        std::vector<ILInstruction*> moved(count);     // where the original instruction now is
        for (size_t i = 0; i < count; ++i) {
            oldIndex[originalCode[i].offset] = static_cast<int32_t>(i);
            identity[i] = rewriter.GetILInstructionFromOffset(originalCode[i].offset);
            if (identity[i] == nullptr || identity[i]->opcode != RewriterOpcode(originalCode[i].opcode)) {
                return "no matching node at " + std::to_string(originalCode[i].offset);
            }
            moved[i] = identity[i];
        }
        auto node = [&rewriter](uint32_t opcode, int64_t operand) {
            ILInstruction* n = rewriter.CreateNewILInstruction();
            n->opcode = opcode;
            n->operand = operand;
            return n;
        };
        const unsigned stackBefore = rewriter.GetMaxStack();
        ILInstruction* first = rewriter.GetILList()->next;
        rewriter.InsertBefore(first, node(CEE_LDC_I4, token));
        rewriter.InsertBefore(first, node(CEE_CALL, kProbeCall));
        if (rewriter.GetMaxStack() != stackBefore + 2) return "max stack not raised by the pushes";
        // The ret node itself becomes the probe's first instruction, so branches that reached the
        // ret now run the probe; the ret moves behind it.
        unsigned rets = 0;
        for (size_t i = 0; i < count; ++i) {
            if (originalCode[i].opcode != 0x2A) continue;
            ILInstruction* site = identity[i];
            site->opcode = CEE_LDC_I4;
            site->operand = token;
            ILInstruction* call = node(CEE_CALL, kProbeCall);
            rewriter.InsertAfter(site, call);
            ILInstruction* ret = node(CEE_RET, 0);
            rewriter.InsertAfter(call, ret);
            moved[i] = ret;
            ++rets;
        }
        std::vector<uint8_t> out;
        HRESULT hr = rewriter.Encode(out);
        if (FAILED(hr)) return "export failed " + Hex(static_cast<uint32_t>(hr));
        RefBody probed;
        std::vector<RefInstruction> code;
        std::string why;
        if (!RefParseBody(out.data(), out.size(), &probed, &why)) return "unreadable: " + why;
        if (!ExactExtent(probed, out.size())) return "exported body has trailing bytes";
        if (!RefDecodeCode(probed.code, &code, &why)) return "undecodable: " + why;
        const uint32_t newSize = static_cast<uint32_t>(probed.code.size());
        std::vector<int32_t> newIndex(newSize + 1, -1);
        for (size_t k = 0; k < code.size(); ++k) newIndex[code[k].offset] = static_cast<int32_t>(k);

        bool originalReachesEnd = false;
        for (const RefInstruction& ins : originalCode) {
            for (int64_t t : ins.targets) originalReachesEnd = originalReachesEnd || t == oldSize;
        }
        for (const RefInstruction& ins : code) {
            for (int64_t t : ins.targets) {
                if (t < 0 || t > newSize) return "target outside the code at " + std::to_string(ins.offset);
                if (t == newSize ? !originalReachesEnd : newIndex[static_cast<size_t>(t)] < 0) {
                    return "target inside an instruction at " + std::to_string(ins.offset);
                }
            }
        }

        auto newTarget = [&](int64_t oldTarget) -> int64_t {
            if (oldTarget == oldSize) return newSize;
            return identity[static_cast<size_t>(oldIndex[static_cast<size_t>(oldTarget)])]->offset;
        };
        unsigned widened = 0;
        for (size_t i = 0; i < count; ++i) {
            const RefInstruction& before = originalCode[i];
            const int32_t k = newIndex[moved[i]->offset];
            if (k < 0) return "instruction " + std::to_string(i) + " lost";
            const RefInstruction& after = code[static_cast<size_t>(k)];
            if (before.kind == OperandKind::ShortBranch && after.kind == OperandKind::LongBranch) {
                const uint32_t longForm = before.opcode == 0xDE ? 0xDD : before.opcode + 13;
                if (after.opcode != longForm) return "wrong long form at " + std::to_string(after.offset);
                const int64_t longDisplacement = after.targets[0] - (after.offset + 5);
                const int64_t shortDisplacement = longDisplacement + (after.targets[0] <= after.offset ? 3 : 0);
                if (shortDisplacement >= -128 && shortDisplacement <= 127) {
                    return "widened a branch that fits at " + std::to_string(after.offset);
                }
                ++widened;
            } else if (after.opcode != before.opcode) {
                return "opcode changed at " + std::to_string(after.offset);
            }
            if (!IsBranchKind(before.kind) && after.operand != before.operand) {
                return "operand changed at " + std::to_string(after.offset);
            }
            if (after.targets.size() != before.targets.size()) return "target count changed";
            for (size_t j = 0; j < before.targets.size(); ++j) {
                if (after.targets[j] != newTarget(before.targets[j])) {
                    return "branch at " + std::to_string(after.offset) + " misses its target";
                }
            }
            if (before.opcode == 0x45) ++stats.switches;
        }
        const uint64_t expected = uint64_t{oldSize} + kProbeBytes * (1 + rets) + 3 * widened;
        if (newSize != expected) {
            return "size " + std::to_string(newSize) + " instead of " + std::to_string(expected);
        }
        auto probeAt = [&](uint32_t at) {
            return at + kProbeBytes <= newSize && probed.code[at] == 0x20 && RefLE(&probed.code[at + 1], 4) == token &&
                   probed.code[at + 5] == 0x28 && RefLE(&probed.code[at + 6], 4) == kProbeCall;
        };
        if (!probeAt(0) || (count > 0 && identity[0]->offset != kProbeBytes)) {
            return "no entry probe";
        }
        for (size_t i = 0; i < count; ++i) {
            if (originalCode[i].opcode != 0x2A) continue;
            const uint32_t at = identity[i]->offset;
            if (!probeAt(at) || moved[i]->offset != at + kProbeBytes || probed.code[at + kProbeBytes] != 0x2A) {
                return "no exit probe before the ret at " + std::to_string(at);
            }
        }

        if (probed.clauses.size() != original.clauses.size()) return "clause count changed";
        auto boundary = [&](uint64_t offset) {
            return offset == newSize || (offset < newSize && newIndex[offset] >= 0);
        };
        for (size_t c = 0; c < original.clauses.size(); ++c) {
            const RefClause& o = original.clauses[c];
            const RefClause& n = probed.clauses[c];
            if (n.flags != o.flags) return "clause flags changed";
            if (!boundary(n.tryOffset) || !boundary(uint64_t{n.tryOffset} + n.tryLength) ||
                !boundary(n.handlerOffset) || !boundary(uint64_t{n.handlerOffset} + n.handlerLength)) {
                return "clause " + std::to_string(c) + " off instruction boundaries";
            }
            if (o.flags & 1) {
                if (oldIndex[o.tokenOrFilter] < 0 ||
                    n.tokenOrFilter != identity[static_cast<size_t>(oldIndex[o.tokenOrFilter])]->offset) {
                    return "filter moved off its instruction";
                }
            } else if (n.tokenOrFilter != o.tokenOrFilter) {
                return "class token changed";
            }
            for (size_t i = 0; i < count; ++i) {
                const uint32_t was = originalCode[i].offset;
                const uint32_t now = moved[i]->offset;
                if (Contains(o.tryOffset, o.tryLength, was) != Contains(n.tryOffset, n.tryLength, now) ||
                    Contains(o.handlerOffset, o.handlerLength, was) !=
                        Contains(n.handlerOffset, n.handlerLength, now)) {
                    return "clause " + std::to_string(c) + " no longer covers instruction " + std::to_string(i);
                }
            }
        }
        if (probed.maxStack < std::min<uint32_t>(original.maxStack + 1, 0xFFFF)) return "max stack too small";
        if (probed.localSig != original.localSig) return "local signature changed";
        stats.rets += rets;
        stats.widened += widened;
        return {};
    }

    GuardedArena& arena;
    std::mt19937& random;
    Stats& stats;
    RefBody original;
    std::vector<RefInstruction> originalCode;
};

Stats CheckAssembly(const std::string& path) {
    Stats stats;
    PeImage image;
    std::string error;
    if (!image.Load(path, &error)) {
        stats.failures.push_back(path + ": " + error);
        return stats;
    }
    GuardedArena arena(8u << 20);
    std::mt19937 random(12345);
    std::set<uint32_t> seen;
    for (const MethodRow& method : image.Methods()) {
        ++stats.methods;
        // Abstract, extern, runtime-implemented and P/Invoke methods have no IL body.
        if (method.rva == 0 || (method.implFlags & 0x3) != 0) continue;
        ++stats.withBody;
        if (!seen.insert(method.rva).second) continue;
        ++stats.bodies;
        size_t available = 0;
        const uint8_t* bytes = image.AtRva(method.rva, &available);
        std::string failure = bytes == nullptr ? "body not in the file"
                                               : BodyCheck(arena, random, stats).Run(bytes, available, method.token);
        if (failure.empty()) {
            ++stats.checked;
        } else {
            stats.failures.push_back("method " + Hex(method.token) + " at RVA " + Hex(method.rva) + ": " + failure);
        }
    }
    return stats;
}

// The newest runtime version directory, or empty.
std::string FindFrameworkDirectory() {
    std::vector<std::string> roots;
    if (const char* root = std::getenv("DOTNET_ROOT")) roots.emplace_back(root);
    roots.emplace_back("/usr/share/dotnet");
    roots.emplace_back("/usr/lib/dotnet");
    for (const std::string& root : roots) {
        const std::string shared = root + "/shared/Microsoft.NETCore.App";
        DIR* dir = opendir(shared.c_str());
        if (dir == nullptr) continue;
        std::vector<std::vector<int>> versions;
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.empty() || name[0] < '0' || name[0] > '9') continue;
            std::vector<int> parts;
            for (size_t at = 0; at < name.size();) {
                parts.push_back(std::atoi(name.c_str() + at));
                const size_t dot = name.find('.', at);
                at = dot == std::string::npos ? name.size() : dot + 1;
            }
            versions.push_back(parts);
            names.push_back(name);
        }
        closedir(dir);
        if (names.empty()) continue;
        const size_t best = static_cast<size_t>(std::max_element(versions.begin(), versions.end()) - versions.begin());
        return shared + "/" + names[best];
    }
    return {};
}

std::vector<std::string> AssembliesToCheck(const std::string& directory) {
    std::vector<std::string> names{"System.Private.CoreLib.dll", "System.Linq.dll", "System.Collections.dll",
                                   "System.Text.Json.dll"};
    // Every assembly of the runtime, for a longer run by hand.
    if (std::getenv("QX_IL_ALL_ASSEMBLIES") != nullptr) {
        names.clear();
        if (DIR* dir = opendir(directory.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) names.push_back(name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
    }
    return names;
}

}  // namespace

TEST(FrameworkBodiesTest, EveryMethodBodyRoundTripsAndTakesProbesAtEntryAndEveryReturn) {
    const std::string directory = FindFrameworkDirectory();
    if (directory.empty()) GTEST_SKIP() << "no .NET runtime installed";
    std::printf("runtime: %s\n", directory.c_str());
    size_t total = 0;
    for (const std::string& name : AssembliesToCheck(directory)) {
        const Stats stats = CheckAssembly(directory + "/" + name);
        std::printf(
            "%-44s methods %6zu  with IL %6zu  bodies %6zu  checked %6zu  failed %zu | tiny %zu  with clauses %zu "
            "(%zu clauses)  switches %zu  rets %zu  widened %zu  truncations %zu  largest code %zu\n",
            name.c_str(), stats.methods, stats.withBody, stats.bodies, stats.checked, stats.failures.size(), stats.tiny,
            stats.withClauses, stats.clauses, stats.switches, stats.rets, stats.widened, stats.truncations,
            stats.largestCode);
        total += stats.checked;
        EXPECT_TRUE(stats.failures.empty()) << name << ": " << stats.failures.size() << " failures";
        for (size_t i = 0; i < stats.failures.size() && i < 20; ++i) ADD_FAILURE() << name << ": " << stats.failures[i];
        // Facade assemblies of the full list forward types and hold no code.
        if (std::getenv("QX_IL_ALL_ASSEMBLIES") == nullptr) {
            EXPECT_GT(stats.bodies, 0u) << name;
        }
    }
    std::printf("bodies checked: %zu\n", total);
}
