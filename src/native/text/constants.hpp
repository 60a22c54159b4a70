// The numbers and texts the module is built around, each named once: FEMAP's block
// identifiers, the delimiter line and the pickle checksums. Python-free.
#pragma once
#include <array>
#include <cstdint>

namespace femap {

// Block identifiers: FEMAP's own numbers.
namespace block_id {
inline constexpr int32_t kHeader = 100;
inline constexpr int32_t kProperties = 402;
inline constexpr int32_t kNodes = 403;
inline constexpr int32_t kElements = 404;
inline constexpr int32_t kOutputSets = 450;
inline constexpr int32_t kOutputVectorsOld = 451;  // the older layout's vectors, read after 1051's
inline constexpr int32_t kMaterials = 601;
inline constexpr int32_t kOutputVectors = 1051;
}  // namespace block_id

// The line that opens and closes a block (and BLOCK_DELIMITER): three blanks, "-1".
inline constexpr char kDelimiter[] = "   -1";

// Pickle checksums of the two classes' field lists (FEMAPBlock: block_id, lines;
// FEMAPParser: BLOCK_DELIMITER, blocks, filepath): the first is written, all three are
// accepted when restoring.
inline constexpr std::array<long, 3> kBlockChecksums = {0x7eb2a63, 0xc7dd1c6, 0xdcf7ca8};
inline constexpr std::array<long, 3> kParserChecksums = {0x3f1d598, 0xc51e58, 0xa29f31b};

}  // namespace femap
