// texgen: texture documents from the command line.
//   texgen render DOC -o OUT.png [--size N | --size WxH] [--keep-look] [--layer L | --all-layers] [--lenient] [--threads N]
//   texgen info DOC
//   texgen build LISTING -o DOC.tex
//   texgen export DOC [--cpp [--function NAME] | --png OUT.png [--size ...] [--keep-look] [--layer L]] [--threads N]
//   texgen hash DOC [--size N | --size WxH] [--keep-look] [--layer L | --all-layers] [--lenient] [--threads N]
// Without --size a document renders at its design size (256x256 unless it names another).
//   texgen studio [FILE] [--port N] [--host ADDR] [--no-open]
// DOC is a document or a listing, told apart by content.
// Every failure is one line on standard error naming the file and the cause,
// with exit code 1; a usage error exits with CLI11's code.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/texgen.h"
#ifdef TEX_STUDIO
#include "tools/studio/server.h"
#endif

#ifndef TEX_VERSION
#define TEX_VERSION "0"
#endif

namespace {

std::string readText(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw texgen::CommandError("Cannot read " + fileName + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw texgen::CommandError("Cannot read " + fileName + ": read error");
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TEX_STUDIO
    // The studio starts texgen again to render exports beside its previews.
    if (argc == 2 && std::strcmp(argv[1], studio::RENDER_WORKER_ARGUMENT) == 0) return studio::runRenderWorker();
#endif
    CLI::App app("Procedural texture documents: render, describe, build and export them.", "texgen");
    app.set_version_flag("--version", "texgen " TEX_VERSION);
    app.require_subcommand(1);
    // A usage error is one line too, like every other failure.
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("texgen: ") + error.what() + " (see texgen --help)\n";
    });

    texgen::RenderOptions render;
    std::string size;
    const char* const SIZE_HELP = "N or WxH, powers of two (default: the document's design size, 256 unless it names one)";
    const char* const KEEP_LOOK_HELP =
        "At a size other than the design size, scale what is in pixels so that the texture keeps its look";
    CLI::App* renderCommand = app.add_subcommand("render", "Rebuild a document and write a layer as a PNG file");
    renderCommand->add_option("document", render.document, "Texture document (.tex) or listing")->required();
    renderCommand->add_option("-o,--output", render.output, "PNG file to write")->required();
    renderCommand->add_option("--size", size, SIZE_HELP);
    renderCommand->add_flag("--keep-look", render.keepLook, KEEP_LOOK_HELP);
    CLI::Option* layerOption =
        renderCommand->add_option("--layer", render.layer, "Layer to write, 0 to 4 (default 4)")->check(CLI::Range(0, 4));
    renderCommand->add_flag("--all-layers", render.allLayers, "Write every layer, OUT-layerN.png")->excludes(layerOption);
    renderCommand->add_flag("--lenient", render.lenient,
                            "Render a document whose counts are outside 0..100 as the viewers do");

    std::string infoDocument;
    CLI::App* infoCommand = app.add_subcommand("info", "Show each layer's program and what the engine will skip");
    infoCommand->add_option("document", infoDocument, "Texture document (.tex) or listing")->required();

    std::string listing, built;
    CLI::App* buildCommand = app.add_subcommand("build", "Make a document from a listing of source lines");
    buildCommand->add_option("listing", listing, "Listing: \"// layer N\" markers and one call per line")->required();
    buildCommand->add_option("-o,--output", built, "Texture document to write")->required();

    std::string exportDocument, functionName = "buildTexture";
    bool cpp = false;
    texgen::RenderOptions png;
    std::string pngSize;
    CLI::App* exportCommand =
        app.add_subcommand("export", "Print a document as a listing or as C++ source, or write it as a PNG file");
    exportCommand->add_option("document", exportDocument, "Texture document (.tex) or listing")->required();
    CLI::Option* cppFlag = exportCommand->add_flag("--cpp", cpp, "Print a C++ function making the calls");
    exportCommand->add_option("--function", functionName, "Name of that function (default buildTexture)")->needs(cppFlag);
    CLI::Option* pngOption =
        exportCommand->add_option("--png", png.output, "Write layer 4 (or --layer) as a PNG file instead")->excludes(cppFlag);
    exportCommand->add_option("--size", pngSize, SIZE_HELP)->needs(pngOption);
    exportCommand->add_flag("--keep-look", png.keepLook, KEEP_LOOK_HELP)->needs(pngOption);
    exportCommand->add_option("--layer", png.layer, "Layer to write, 0 to 4 (default 4)")
        ->check(CLI::Range(0, 4))
        ->needs(pngOption);

    texgen::HashOptions hash;
    std::string hashSize;
    CLI::App* hashCommand =
        app.add_subcommand("hash", "Print the SHA-256 of a layer's pixels (red, green, blue bytes, row after row)");
    hashCommand->add_option("document", hash.document, "Texture document (.tex) or listing")->required();
    hashCommand->add_option("--size", hashSize, SIZE_HELP);
    hashCommand->add_flag("--keep-look", hash.keepLook, KEEP_LOOK_HELP);
    CLI::Option* hashLayer =
        hashCommand->add_option("--layer", hash.layer, "Layer to hash, 0 to 4 (default 4)")->check(CLI::Range(0, 4));
    hashCommand->add_flag("--all-layers", hash.allLayers, "Hash every layer, one \"layer N HASH\" line each")
        ->excludes(hashLayer);
    hashCommand->add_flag("--lenient", hash.lenient,
                          "Hash a document whose counts are outside 0..100 as the viewers replay it");

#ifdef TEX_STUDIO
    studio::Options studioOptions;
    bool noOpen = false;
    CLI::App* studioCommand = app.add_subcommand("studio", "Author a texture in the browser with live preview");
    studioCommand->add_option("file", studioOptions.file,
                              "Document (.tex) or listing to open, created at the first save (default untitled.tex)");
    studioCommand->add_option("--port", studioOptions.port, "Port to listen on (default 8421; 0 picks a free one)")
        ->check(CLI::Range(0, 65535));
    studioCommand->add_option("--host", studioOptions.host, "Address to listen on (default 127.0.0.1)");
    studioCommand->add_flag("--no-open", noOpen, "Do not open the page in the desktop's browser");
#endif

    // The engine's thread count for the commands that run it; every count
    // gives the same bytes.
    int32_t threads = 0;
    const char* threadsHelp = "Threads to render with, 0 for every hardware thread (default TEX_THREADS, else 0)";
    CLI::Option* threadOptions[] = {renderCommand->add_option("--threads", threads, threadsHelp),
                                    hashCommand->add_option("--threads", threads, threadsHelp),
                                    exportCommand->add_option("--threads", threads, threadsHelp)};
    for (CLI::Option* option : threadOptions) option->check(CLI::Range(0, 1024));

    CLI11_PARSE(app, argc, argv);
    for (CLI::Option* option : threadOptions)
        if (option->count() > 0) texgen::useThreads(threads);

#ifdef TEX_STUDIO
    if (*studioCommand) {
        studioOptions.openBrowser = !noOpen;
        return studio::runStudio(studioOptions);
    }
#endif

    try {
        if (*renderCommand) {
            if (!size.empty()) texgen::parseSize(size, render.width, render.height);
            const std::string written = texgen::render(render);
            std::cout << "wrote " << written << "\n";
        } else if (*infoCommand) {
            const texlisting::Document document = texlisting::readDocumentOrListing(infoDocument);
            texgen::describe(document, infoDocument, std::cout);
            const std::string malformed = texgen::malformation(document);
            if (!malformed.empty()) throw texgen::CommandError(infoDocument + " is malformed: " + malformed);
        } else if (*buildCommand) {
            texlisting::writeDocument(texlisting::parseListing(readText(listing), listing), built);
        } else if (*hashCommand) {
            if (!hashSize.empty()) texgen::parseSize(hashSize, hash.width, hash.height);
            std::cout << texgen::hash(hash);
        } else if (*exportCommand && !png.output.empty()) {
            png.document = exportDocument;
            if (!pngSize.empty()) texgen::parseSize(pngSize, png.width, png.height);
            std::cout << "wrote " << texgen::render(png) << "\n";
        } else if (*exportCommand) {
            const texlisting::Document document = texlisting::readDocumentOrListing(exportDocument);
            std::cout << (cpp ? texlisting::formatCppSource(document, functionName) : texlisting::formatListing(document));
        }
    } catch (const std::exception& error) {
        std::cerr << "texgen: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
