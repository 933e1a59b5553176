#pragma once

// Just enough of the PE/COFF container and of the metadata tables to find every method body of
// a managed assembly: the CLI header, the metadata root, the #~ stream, and the rows of the
// tables up to MethodDef. Bounds-checked throughout; any inconsistency is an error message.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace iltest {

struct MethodRow {
    uint32_t token;
    uint32_t rva;
    uint16_t implFlags;
    uint16_t flags;
};

class PeImage {
public:
    bool Load(const std::string& path, std::string* error);

    const std::vector<MethodRow>& Methods() const { return methods; }
    // Bytes from the RVA to the end of its section's raw data; null when not backed by the file.
    const uint8_t* AtRva(uint32_t rva, size_t* available) const;

private:
    struct SectionHeader {
        uint32_t virtualAddress;
        uint32_t virtualSize;
        uint32_t rawSize;
        uint32_t rawOffset;
    };

    bool ReadMetadata(uint32_t cliRva, std::string* error);

    std::vector<uint8_t> file;
    std::vector<SectionHeader> sections;
    std::vector<MethodRow> methods;
};

}  // namespace iltest
