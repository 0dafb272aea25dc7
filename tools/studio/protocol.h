// The studio's requests and answers as JSON, the same whichever transport
// carries them: the local studio's HTTP server and the web studio's worker
// both answer the page with these, so that the page cannot tell them apart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

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

// A field of a request, or EditError naming it.
template <typename T>
T field(const json& body, const char* name) {
    if (!body.is_object() || !body.contains(name))
        throw EditError(std::string("The request lacks its ") + name + ": reload the page.");
    return body.at(name).get<T>();
}

// A render size: each side a power of two, at most MAX_SIDE, given as text
// or a number. Throws EditError.
int32_t renderSide(const json& value);

// The layer's RGB bytes, then each layer reduced to THUMBNAIL by THUMBNAIL
// pixels by averaging boxes, of the engine's layers as they stand.
std::string renderedBytes(int layer);

// The document as C++ source with that function; EditError for a name that
// is no C++ identifier.
std::string cppSource(const texlisting::Document& document, const std::string& function);

// A download's name: the document's name without its extension, then `suffix`.
std::string downloadName(const std::string& documentName, const std::string& suffix);

}  // namespace studio
