// Fuzz target: whole HTTP requests, the bytes a client sends over one
// connection, answered by the studio's route table as a running studio
// answers them (refusals, handlers, the session on a storage in memory),
// without a socket. Whatever the bytes, every answer must come back and
// nothing may crash, leak or hang. The seeds carry the Host and token that
// get a request past the refusals.
#include <cstdint>
#include <memory>
#include <string>

#include "tools/studio/memory_storage.h"
#include "tools/studio/server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One studio for the whole run, as a real one serves many requests;
    // renders are at most 64 pixels a side so that each input stays quick.
    static studio::RequestTester* tester = [] {
        auto storage = std::make_unique<studio::MemoryStorage>();
        storage->files["other.listing"] = "// layer 0\nperlinNoise(0,64,12345,256,128,4,true);\n// layer 4\nblurLayer(0,4);\n";
        return new studio::RequestTester(std::move(storage), "doc.tex", "fuzz", 64);
    }();
    tester->answer(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
