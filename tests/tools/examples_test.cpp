// The example listings of the operations tour: every operation has one, each
// still reads, holds one to three records and ends with its own operation in
// layer 4 (the layer the tour's picture shows).
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/operations.h"
#include "test_util.h"
#include "tools/listing.h"

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(OperationsTour, EveryOperationHasAnExampleThatReads) {
    const fs::path folder = fs::path(TEX_SOURCE_DIR) / "docs" / "examples";
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const tex::OperationInfo& row = tex::operationTable()[i];
        const fs::path path = folder / (std::string(row.name) + ".listing");
        SCOPED_TRACE(path.string());
        ASSERT_TRUE(fs::exists(path));
        texlisting::Document document;
        ASSERT_NO_THROW(document = texlisting::parseListing(readText(path), path.string()));
        int32_t records = 0;
        for (const tex::LayerProgram& program : document.programs) records += program.count;
        EXPECT_GE(records, 1);
        EXPECT_LE(records, 3);
        const tex::LayerProgram& last = document.programs[4];
        ASSERT_GT(last.count, 0);
        EXPECT_EQ(last.opcode[last.count - 1], row.opcode);
    }
}

}  // namespace
