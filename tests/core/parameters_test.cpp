// The parameter names of the opcode table are those of the procedures' declarations
// in engine.h (an authoring tool labels its fields with them), one per slot
// kind, every number has a slider range, and every argument a unit and a meaning.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "engine/engine.h"

namespace {

// The parameter names of `void NAME(...)` in engine.h, or nothing.
std::vector<std::string> declaredParameters(const std::string& header, const std::string& name) {
    const std::regex declaration("void " + name + "\\(([^)]*)\\);");
    std::smatch match;
    if (!std::regex_search(header, match, declaration)) return {};
    std::vector<std::string> names;
    std::istringstream list(match[1].str());
    std::string parameter;
    while (std::getline(list, parameter, ',')) {
        std::smatch last;
        if (std::regex_search(parameter, last, std::regex("(\\w+)\\s*$"))) names.push_back(last[1]);
    }
    return names;
}

TEST(OperationParameters, AreNamedAsInEngineHeaderWithSliderRanges) {
    std::ifstream in(std::string(TEX_SOURCE_DIR) + "/engine/engine.h");
    std::ostringstream text;
    text << in.rdbuf();
    const std::string header = text.str();
    ASSERT_FALSE(header.empty());
    for (int32_t i = 0; i < tex::operationCount(); ++i) {
        const tex::OperationInfo& row = tex::operationTable()[i];
        SCOPED_TRACE(row.name);
        const std::vector<std::string> declared = declaredParameters(header, row.name);
        const size_t used = std::strlen(row.slots);
        // mandelBrot's call has one argument more than its record: the escape limit.
        const size_t extra = row.opcode == tex::MANDELBROT_OPCODE ? 1 : 0;
        ASSERT_EQ(declared.size(), used + extra);
        if (extra) {
            EXPECT_EQ(declared.back(), "bailout");
        }
        for (size_t k = 0; k < size_t(tex::MAX_PARAMETERS); ++k) {
            const tex::ParameterInfo& parameter = row.parameters[k];
            if (k >= used) {
                EXPECT_EQ(parameter.name, nullptr) << "no name beyond the slots";
                continue;
            }
            ASSERT_NE(parameter.name, nullptr) << "slot " << k;
            EXPECT_EQ(parameter.name, declared[k]);
            const bool number = row.slots[k] == tex::SLOT_INTEGER || row.slots[k] == tex::SLOT_REAL;
            if (number) {
                EXPECT_LT(parameter.low, parameter.high) << parameter.name;
            }
            // Every argument says what it is; layers and booleans say so by their unit.
            EXPECT_TRUE(parameter.meaning && *parameter.meaning) << parameter.name;
            EXPECT_TRUE(*tex::unitName(parameter.unit)) << parameter.name;
            EXPECT_EQ(row.slots[k] == tex::SLOT_LAYER, parameter.unit == tex::UNIT_LAYER) << parameter.name;
            EXPECT_EQ(row.slots[k] == tex::SLOT_BOOLEAN, parameter.unit == tex::UNIT_ON_OFF) << parameter.name;
        }
        EXPECT_TRUE(row.summary && *row.summary);
        const std::string family = row.family ? row.family : "";
        EXPECT_TRUE(family == "generators" || family == "combiners" || family == "colour" || family == "filters" ||
                    family == "distortions")
            << family;
        EXPECT_EQ(family == "generators", row.opcode < 10) << "generators are exactly the opcodes below 10";
    }
}

}  // namespace
