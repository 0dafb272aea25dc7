// The documents of the hash manifest (manifest_documents.h).
#include "manifest_documents.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace textest {

namespace {

constexpr int RANDOM_DOCUMENTS = 300;

std::vector<std::string> filesIn(const fs::path& source, const std::string& folder, const std::string& extension) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(source / folder))
        if (item.path().extension() == extension) names.push_back(folder + "/" + item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::vector<Entry> manifestEntries(const fs::path& source) {
    std::vector<Entry> list;
    for (auto size : {std::pair{64, 64}, {256, 256}, {1024, 512}}) list.push_back({"data/Testin3.tex", size.first, size.second});
    for (const std::string& name : filesIn(source, "data/gallery", ".listing"))
        for (auto size : {std::pair{256, 256}, {128, 64}}) list.push_back({name, size.first, size.second});
    for (const std::string& name : filesIn(source, "docs/examples", ".listing"))
        for (auto size : {std::pair{128, 128}, {256, 64}}) list.push_back({name, size.first, size.second});
    for (const std::string& name : filesIn(source, "tests/fuzz/corpus/document", ".tex"))
        for (auto size : {std::pair{64, 64}, {32, 256}}) list.push_back({name, size.first, size.second});
    for (int n = 0; n < RANDOM_DOCUMENTS; ++n)
        for (auto size : {std::pair{64, 64}, {128, 32}}) list.push_back({"random/" + std::to_string(n), size.first, size.second});
    // Larger, per axis and smaller than the design size.
    for (auto size : {std::pair{1024, 1024}, {512, 128}, {128, 128}})
        list.push_back({"data/Testin3.tex", size.first, size.second, true});
    for (const std::string& name : filesIn(source, "docs/examples", ".listing")) list.push_back({name, 512, 256, true});
    return list;
}

texlisting::Document loadEntry(const fs::path& source, const std::string& name) {
    if (name.rfind("random/", 0) == 0) return textest::randomDocument(uint32_t(std::stoul(name.substr(7))));
    const fs::path path = source / name;
    if (path.extension() == ".listing") {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return texlisting::parseListing(text.str(), path.string());
    }
    return texlisting::readDocument(path.string());
}

}  // namespace textest
