#include "il/assemblies/PeImage.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

namespace iltest {

namespace {

// Reads little-endian fields at checked positions; the first failure sticks.
class Reader {
public:
    Reader(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

    bool Ok() const { return ok; }
    size_t Position() const { return position; }
    void Seek(size_t at) {
        if (at > size) ok = false;
        position = std::min(at, size);
    }
    void Skip(size_t n) { Seek(position + n); }
    uint64_t Read(unsigned bytes) {
        if (!ok || size - position < bytes) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(data[position + i]) << (8 * i);
        position += bytes;
        return v;
    }
    uint32_t U16() { return static_cast<uint32_t>(Read(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Read(4)); }
    uint64_t U64() { return Read(8); }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
    bool ok = true;
};

enum Table : unsigned {
    Module = 0x00,
    TypeRef = 0x01,
    TypeDef = 0x02,
    FieldPtr = 0x03,
    Field = 0x04,
    MethodPtr = 0x05,
    MethodDef = 0x06,
    ParamPtr = 0x07,
    Param = 0x08,
    ModuleRef = 0x1A,
    TypeSpec = 0x1B,
    AssemblyRef = 0x23,
};

}  // namespace

bool PeImage::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    Reader r(file.data(), file.size());
    if (r.U16() != 0x5A4D) {
        *error = "no DOS header";
        return false;
    }
    r.Seek(0x3C);
    const uint32_t peOffset = r.U32();
    r.Seek(peOffset);
    if (r.U32() != 0x00004550) {
        *error = "no PE signature";
        return false;
    }
    r.Skip(2);
    const uint32_t sectionCount = r.U16();
    r.Skip(12);
    const uint32_t optionalSize = r.U16();
    r.Skip(2);
    const size_t optional = r.Position();
    const uint32_t magic = r.U16();
    if (magic != 0x10B && magic != 0x20B) {
        *error = "unknown optional header";
        return false;
    }
    const size_t directories = optional + (magic == 0x20B ? 112 : 96);
    r.Seek(directories - 4);
    const uint32_t directoryCount = r.U32();
    if (directoryCount < 15) {
        *error = "no CLI header directory";
        return false;
    }
    r.Seek(directories + 14 * 8);
    const uint32_t cliRva = r.U32();
    r.Seek(optional + optionalSize);
    for (uint32_t i = 0; i < sectionCount && r.Ok(); ++i) {
        r.Skip(8);
        SectionHeader s;
        s.virtualSize = r.U32();
        s.virtualAddress = r.U32();
        s.rawSize = r.U32();
        s.rawOffset = r.U32();
        r.Skip(16);
        sections.push_back(s);
    }
    if (!r.Ok()) {
        *error = "truncated headers";
        return false;
    }
    size_t available = 0;
    const uint8_t* cli = AtRva(cliRva, &available);
    if (cli == nullptr || available < 16) {
        *error = "CLI header outside the file";
        return false;
    }
    return ReadMetadata(cliRva, error);
}

const uint8_t* PeImage::AtRva(uint32_t rva, size_t* available) const {
    for (const SectionHeader& s : sections) {
        const uint32_t extent = std::max(s.virtualSize, s.rawSize);
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
        const uint32_t delta = rva - s.virtualAddress;
        if (delta >= s.rawSize || s.rawOffset > file.size() || file.size() - s.rawOffset <= delta) return nullptr;
        *available = std::min<size_t>(s.rawSize - delta, file.size() - s.rawOffset - delta);
        return file.data() + s.rawOffset + delta;
    }
    return nullptr;
}

bool PeImage::ReadMetadata(uint32_t cliRva, std::string* error) {
    size_t available = 0;
    const uint8_t* cli = AtRva(cliRva, &available);
    Reader cliReader(cli, available);
    cliReader.Seek(8);
    const uint32_t metadataRva = cliReader.U32();
    const uint32_t metadataSize = cliReader.U32();
    const uint8_t* root = AtRva(metadataRva, &available);
    if (root == nullptr || !cliReader.Ok() || available < metadataSize) {
        *error = "metadata outside the file";
        return false;
    }
    Reader r(root, metadataSize);
    if (r.U32() != 0x424A5342) {
        *error = "no metadata signature";
        return false;
    }
    r.Skip(8);
    const uint32_t versionLength = r.U32();
    r.Skip(versionLength);
    r.Skip(2);
    const uint32_t streamCount = r.U16();
    const uint8_t* tables = nullptr;
    size_t tablesSize = 0;
    for (uint32_t i = 0; i < streamCount && r.Ok(); ++i) {
        const uint32_t offset = r.U32();
        const uint32_t size = r.U32();
        std::string name;
        for (;;) {
            const uint32_t c = static_cast<uint32_t>(r.Read(1));
            if (!r.Ok() || c == 0) break;
            name.push_back(static_cast<char>(c));
        }
        r.Seek((r.Position() + 3) & ~static_cast<size_t>(3));
        if ((name == "#~" || name == "#-") && offset <= metadataSize && size <= metadataSize - offset) {
            tables = root + offset;
            tablesSize = size;
        }
    }
    if (!r.Ok() || tables == nullptr) {
        *error = "no table stream";
        return false;
    }

    Reader t(tables, tablesSize);
    t.Skip(6);
    const uint32_t heapSizes = static_cast<uint32_t>(t.Read(1));
    t.Skip(1);
    const uint64_t valid = t.U64();
    t.Skip(8);
    std::array<uint32_t, 64> rows{};
    for (unsigned i = 0; i < 64; ++i) {
        if (valid & (uint64_t{1} << i)) rows[i] = t.U32();
    }
    if (heapSizes & 0x40) t.Skip(4);
    const unsigned stringIndex = (heapSizes & 0x01) ? 4 : 2;
    const unsigned guidIndex = (heapSizes & 0x02) ? 4 : 2;
    const unsigned blobIndex = (heapSizes & 0x04) ? 4 : 2;
    auto simple = [&rows](unsigned table) { return rows[table] < 0x10000 ? 2u : 4u; };
    auto coded = [&rows](std::initializer_list<unsigned> tablesOf, unsigned tagBits) {
        uint32_t most = 0;
        for (unsigned table : tablesOf) most = std::max(most, rows[table]);
        return most < (1u << (16 - tagBits)) ? 2u : 4u;
    };
    const unsigned typeDefOrRef = coded({TypeDef, TypeRef, TypeSpec}, 2);
    const unsigned resolutionScope = coded({Module, ModuleRef, AssemblyRef, TypeRef}, 2);
    const unsigned fieldList = simple(rows[FieldPtr] ? FieldPtr : Field);
    const unsigned methodList = simple(rows[MethodPtr] ? MethodPtr : MethodDef);
    const unsigned paramList = simple(rows[ParamPtr] ? ParamPtr : Param);

    std::array<unsigned, 7> rowSize{};
    rowSize[Module] = 2 + stringIndex + 3 * guidIndex;
    rowSize[TypeRef] = resolutionScope + 2 * stringIndex;
    rowSize[TypeDef] = 4 + 2 * stringIndex + typeDefOrRef + fieldList + methodList;
    rowSize[FieldPtr] = simple(Field);
    rowSize[Field] = 2 + stringIndex + blobIndex;
    rowSize[MethodPtr] = simple(MethodDef);
    rowSize[MethodDef] = 4 + 2 + 2 + stringIndex + blobIndex + paramList;

    size_t at = t.Position();
    for (unsigned table = 0; table < MethodDef; ++table) at += static_cast<size_t>(rows[table]) * rowSize[table];
    t.Seek(at);
    for (uint32_t row = 1; row <= rows[MethodDef] && t.Ok(); ++row) {
        const size_t start = t.Position();
        MethodRow method;
        method.token = 0x06000000u | row;
        method.rva = t.U32();
        method.implFlags = static_cast<uint16_t>(t.U16());
        method.flags = static_cast<uint16_t>(t.U16());
        t.Seek(start + rowSize[MethodDef]);
        methods.push_back(method);
    }
    if (!t.Ok()) {
        *error = "MethodDef table runs past the table stream";
        return false;
    }
    return true;
}

}  // namespace iltest
