// The web studio's document session: the same Session, protocol and render
// cache as texgen studio, answering the page's requests through the worker
// (worker.js) instead of HTTP. Requests and answers are the studio's JSON
// (written into studio_text); bytes travel in two buffers, the input the
// caller fills (studio_input) and the output of the last request
// (studio_output).
//
// The session's files are in memory: a file opened in the browser is put
// there before the session opens it, and a saved one is read back from there
// for the page to write or download. What outlives the tab is the whole
// session, which worker.js keeps in IndexedDB after every edit.
#include <emscripten/emscripten.h>

#include <cstring>
#include <memory>

#include "tools/keep_look.h"
#include "tools/studio/embedded.h"
#include "tools/studio/link.h"
#include "tools/studio/protocol.h"
#include "tools/studio/render_cache.h"
#include "tools/studio/memory_storage.h"

namespace {

using namespace studio;

MemoryStorage storage;
std::unique_ptr<Session> session;
RenderCache previewCache, compareCache, exportCache;
std::string input, text, output, answer;

std::vector<unsigned char> inputBytes() { return {input.begin(), input.end()}; }

// A snapshot as bytes: the name, the saved and current documents (each its
// length and bytes, a document's as in a file), then the undo and redo steps, each stack its count of steps,
// each step its count of runs, each run its offset, length and bytes.
std::string snapshotBytes(const Session::Snapshot& snapshot) {
    std::string out;
    const auto number = [&](size_t n) {
        const uint32_t word = uint32_t(n);
        out.append(reinterpret_cast<const char*>(&word), 4);
    };
    for (const std::string& text : {snapshot.name, texlisting::documentBytes(snapshot.saved),
                                    texlisting::documentBytes(snapshot.current)}) {
        number(text.size());
        out += text;
    }
    for (const auto* stack : {&snapshot.undo, &snapshot.redo}) {
        number(stack->size());
        for (const Session::Step& step : *stack) {
            number(step.size());
            for (const auto& run : step) {
                number(run.first);
                number(run.second.size());
                out += run.second;
            }
        }
    }
    return out;
}

Session::Snapshot snapshotOf(const std::string& bytes) {
    const std::string damaged = "The kept session is damaged: it was discarded.";
    size_t at = 0;
    const auto take = [&](size_t size) {
        if (bytes.size() - at < size) throw EditError(damaged);
        at += size;
        return bytes.data() + at - size;
    };
    const auto number = [&] {
        uint32_t n;
        std::memcpy(&n, take(4), 4);
        return n;
    };
    const auto text = [&] {
        const uint32_t length = number();
        return std::string(take(length), length);
    };
    const auto document = [&] {
        texlisting::Document d;
        if (!texlisting::documentFromBytes(text(), d)) throw EditError(damaged);
        return d;
    };
    Session::Snapshot snapshot;
    snapshot.name = text();
    snapshot.saved = document();
    snapshot.current = document();
    for (auto* stack : {&snapshot.undo, &snapshot.redo}) {
        for (uint32_t steps = number(); steps > 0; --steps) {
            Session::Step step;
            for (uint32_t runs = number(); runs > 0; --runs) {
                const uint32_t offset = number(), size = number();
                step.emplace_back(offset, std::string(take(size), size));
            }
            stack->push_back(std::move(step));
        }
    }
    if (at != bytes.size()) throw EditError(damaged);
    return snapshot;
}

int32_t side(const json& body, const char* name) {
    return int32_t(renderSide(std::to_string(integerField(body, name, 0, MAX_SIDE))));
}

void reportProgress(int64_t done, int64_t total) {
    EM_ASM({ Module.progress($0, $1); }, double(done), double(total));
}

// The answer of one request; its bytes, if any, go to `output`.
json handle(const std::string& route, const json& body) {
    if (route == "operations") {
        // Every operation's picture is made beside its example listing.
        return operationsJson([](const std::string& picture) {
            const std::string name = picture.substr(9, picture.size() - 13);
            return findEmbedded("examples/" + name + ".listing") != nullptr;
        });
    }
    if (route == "state") return stateJson(*session);
    if (route == "edit") {
        if (textField(body, "command") == "import")
            session->replaceDocument(integerField(body, "revision", 0, INT64_MAX), documentOfInflated(input));
        else
            applyEdit(*session, body);
        return stateJson(*session);
    }
    if (route == "open") {
        const std::string name = textField(body, "name");
        checkFileName(name);
        storage.write(name, input);
        session->open(name);
        return stateJson(*session);
    }
    if (route == "save") {
        storage.read(session->save(textField(body, "name", true), true), output);
        json state = stateJson(*session);
        state["saved"] = session->name();
        return state;
    }
    if (route == "render") {
        PreviewAsk ask;
        ask.layer = int32_t(integerField(body, "layer", 0, tex::LAYER_COUNT - 1));
        ask.width = side(body, "width");
        ask.height = side(body, "height");
        ask.focus = body.contains("focus") ? int32_t(integerField(body, "focus", 0, tex::LAYER_COUNT - 1)) : ask.layer;
        // Record indices are the author's, bypassed records counted.
        if (body.contains("record")) ask.record = int32_t(integerField(body, "record", -1, 2 * tex::MAX_OPS));
        ask.compare = body.contains("compareLayer");
        if (ask.compare) {
            ask.compareLayer = int32_t(integerField(body, "compareLayer", 0, tex::LAYER_COUNT - 1));
            ask.compareRecord = int32_t(integerField(body, "compareRecord", 0, 2 * tex::MAX_OPS));
        }
        renderPreviewBody(session->document(), ask, previewCache, compareCache, {}, output);
        return {{"revision", session->revision()}, {"thumbnails", ask.record == PreviewAsk::WHOLE}};
    }
    // The threads an operation splits its work over (1 in a module built
    // without threads); "count" chooses them as setThreadCount does.
    if (route == "threads") {
        if (body.contains("count")) tex::setThreadCount(int32_t(integerField(body, "count", -1, 256)));
        return {{"threads", tex::threadCount()}};
    }
    if (route == "new") {
        const std::string example = textField(body, "example", true);
        session->newDocument(example.empty() ? texlisting::Document{} : exampleDocument(example));
        return stateJson(*session);
    }
    // The site holds every gallery document's picture beside it.
    if (route == "examples") return examplesJson([](const std::string&) { return true; });
    if (route == "exportListing") {
        output = texlisting::formatListing(session->document());
        return {{"name", downloadName(session->name(), ".listing")}};
    }
    if (route == "exportCpp") {
        output = cppSource(session->document(), textField(body, "function"));
        return {{"name", downloadName(session->name(), ".cpp")}};
    }
    if (route == "exportPng") {
        const int layer = int(integerField(body, "layer", 0, tex::LAYER_COUNT - 1));
        const int32_t width = side(body, "width"), height = side(body, "height");
        const bool keepLook = body.contains("keepLook") && body["keepLook"] != 0 && body["keepLook"] != false;
        const int64_t preview = body.contains("preview") ? integerField(body, "preview", 1, MAX_SIDE) : 0;
        // The preview's kept layers go: a large export needs the memory.
        previewCache.clear();
        compareCache.clear();
        int32_t w = width, h = height;
        try {
            if (keepLook)
                texlisting::replayKeepingLook(session->document(), width, height);
            else
                exportCache.render(session->document(), width, height, [](int64_t done, int64_t total) {
                    reportProgress(done, total);
                    return true;
                });
            if (preview > 0) {
                // At most `preview` a side, keeping the proportions.
                const int64_t longest = std::max(width, height);
                w = int32_t(std::max<int64_t>(1, std::min<int64_t>(width, preview * width / longest)));
                h = int32_t(std::max<int64_t>(1, std::min<int64_t>(height, preview * height / longest)));
                output = shrink(tex::layers[layer], width, height, w, h);
            } else {
                output.assign(reinterpret_cast<const char*>(tex::layers[layer]), size_t(width) * size_t(height) * 3);
            }
        } catch (...) {
            exportCache.clear();
            tex::freeLayers();
            throw;
        }
        exportCache.clear();
        tex::freeLayers();
        return {{"name", downloadName(session->name(), "-layer" + std::to_string(layer) + "-" + std::to_string(width) +
                                                           "x" + std::to_string(height) + ".png")},
                {"width", w}, {"height", h}};
    }
    if (route == "link") {
        output = linkBytes(session->document());
        return json::object();
    }
    if (route == "fragment") return {{"fragment", fragmentOfDeflated(inputBytes())}};
    if (route == "linkPayload") {
        const std::vector<unsigned char> deflated = deflatedOfLink(textField(body, "link"));
        output.assign(deflated.begin(), deflated.end());
        return json::object();
    }
    if (route == "snapshot") {
        output = session->dirty() ? snapshotBytes(session->snapshot()) : std::string();
        return json::object();
    }
    if (route == "resume") {
        session->resume(snapshotOf(input));
        return stateJson(*session);
    }
    throw EditError("The studio knows no request \"" + route + "\": reload the page.");
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE char* studio_input(int32_t size) {
    input.assign(size_t(size), '\0');
    return input.data();
}

// A buffer for a request's route and body, apart from its bytes.
EMSCRIPTEN_KEEPALIVE char* studio_text(int32_t size) {
    text.assign(size_t(size), '\0');
    return text.data();
}

EMSCRIPTEN_KEEPALIVE const char* studio_output() { return output.data(); }
EMSCRIPTEN_KEEPALIVE int32_t studio_output_size() { return int32_t(output.size()); }

// Answers {"ok": answer} or {"error": sentence, "stale"?, "conflict"?}.
EMSCRIPTEN_KEEPALIVE const char* studio_request(const char* route, const char* body) {
    output.clear();
    json result;
    try {
        if (!session) session = std::make_unique<Session>(storage, "untitled.tex");
        const json parsed = json::parse(body, nullptr, false);
        result = {{"ok", handle(route, parsed)}};
    } catch (const StaleRevision& error) {
        result = {{"error", error.what()}, {"stale", true}};
    } catch (const EditError& error) {
        result = {{"error", error.what()}};
    } catch (const texlisting::ListingError& error) {
        result = {{"error", error.file + " is not a texture document or a listing: line " + std::to_string(error.line) +
                                ", column " + std::to_string(error.column) + ": " + error.message + "."}};
    } catch (const tex::IoError& error) {
        result = {{"error", std::string(error.what()) + "."}};
    } catch (const json::exception&) {
        result = {{"error", "The request is not what the studio expects: reload the page."}};
    } catch (const std::bad_alloc&) {
        previewCache.clear();
        compareCache.clear();
        exportCache.clear();
        tex::freeLayers();
        result = {{"error", "The browser ran out of memory for the studio: choose a smaller size."}};
    } catch (const std::exception& error) {
        result = {{"error", std::string("The studio failed: ") + error.what() + "."}};
    }
    answer = jsonText(result);
    return answer.c_str();
}

}  // extern "C"
