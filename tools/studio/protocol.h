// The studio's requests and answers as JSON, the same whichever transport
// carries them: the local studio's HTTP server and the web studio's worker
// both answer the page with these, so that the page cannot tell them apart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/studio/render_cache.h"
#include "tools/studio/session.h"

namespace studio {

using json = nlohmann::json;

constexpr int THUMBNAIL = 64;
constexpr int64_t MAX_SIDE = 8192;

// Every operation of the opcode table: opcode, name, family, summary,
// picture (its address relative to the page, or "" where `hasPicture` says
// there is none), and each argument's name, kind and slider range.
json operationsJson(const std::function<bool(const std::string& picture)>& hasPicture);

// The document as the page shows it: revision, file name, unsaved changes,
// undo and redo, recovery offer, warnings, and each layer's records (source
// line, argument texts, warnings).
json stateJson(const Session& session);

// Applies an edit {revision, command, ...} to the session: insert {layer,
// index, opcode}, duplicate|delete {layer, index}, move {layer, index, to},
// set {layer, index, argument, value, drag?}, newSeed {layer, index,
// argument}, undo, redo, recovery {restore}, import {link} (where the link's
// deflate is at hand: the worker decodes links itself). Throws EditError (an
// unknown command or a missing field too) or StaleRevision.
void applyEdit(Session& session, const json& body);

// JSON text; bytes that are not UTF-8 (from a path, a header, a file name)
// become U+FFFD instead of throwing.
std::string jsonText(const json& value);

// At most `limit` bytes of something a client sent, to quote in a sentence.
std::string quoted(const std::string& given, size_t limit = 80);

// The fields of a request's JSON body, each of the type it must have: a
// value of another type, or a number out of range or not whole, is refused
// (EditError) before anything is changed.
int64_t integerField(const json& body, const char* name, int64_t low, int64_t high);
std::string textField(const json& body, const char* name, bool optional = false);
bool booleanField(const json& body, const char* name, bool optional = false);

// A render size's side: a power of two, at most `most`, given as text.
// Throws EditError.
int32_t renderSide(const std::string& given, int64_t most = MAX_SIDE);

// Each layer reduced to THUMBNAIL by THUMBNAIL RGB pixels by averaging boxes.
std::string thumbnails();
// A layer's RGB bytes reduced to width by height by averaging boxes.
std::string shrink(const tex::Pixel* pixels, int64_t w, int64_t h, int width, int height);
// The layer's RGB bytes, then the thumbnails, of the engine's layers as they stand.
std::string renderedBytes(int layer);

// What a preview asks for: a layer at a size, whole or right after one of
// its records (the author's index), and with `compare` also without another
// record; `focus` is the program whose states the cache keeps.
struct PreviewAsk {
    int32_t layer = 4, width = 256, height = 256;
    int32_t record = WHOLE;
    bool compare = false;
    int32_t compareLayer = 0, compareRecord = 0, focus = -1;
    static constexpr int32_t WHOLE = -2;
    bool operator==(const PreviewAsk& o) const {
        return layer == o.layer && width == o.width && height == o.height && record == o.record &&
               compare == o.compare && compareLayer == o.compareLayer && compareRecord == o.compareRecord &&
               focus == o.focus;
    }
};

// Where the author's record `index` of a layer stands among the records
// replayed: the number of replayed records up to it, minus one. `replayed`
// tells whether the record itself is one of them.
int replayedIndex(const texlisting::Document& document, int layer, int index, bool& replayed);

// Renders what `ask` asks of `document` into `body`: the layer's RGB bytes,
// with compare the same again without the compared record (rendered by
// `compare`; a bypassed record is left out of both), then the thumbnails
// when the whole texture was rendered. False when `current` abandoned a
// render (body is then incomplete).
bool renderPreviewBody(const texlisting::Document& document, const PreviewAsk& ask, RenderCache& preview,
                       RenderCache& compare, const RenderCache::Progress& current, std::string& body);

// The gallery of starting documents built in: name, title, keywords and
// picture (its address relative to the page, or "" where `hasPicture` says
// there is none).
json examplesJson(const std::function<bool(const std::string& picture)>& hasPicture);
// A gallery example's document; EditError when there is none of that name.
texlisting::Document exampleDocument(const std::string& name);

// The document as C++ source with that function; EditError for a name that
// is no C++ identifier.
std::string cppSource(const texlisting::Document& document, const std::string& function);

// A download's name: the document's name without its extension, then `suffix`.
std::string downloadName(const std::string& documentName, const std::string& suffix);

}  // namespace studio
