// Score files: names, titles, and writing .musicxml or .mxl from a MIDI file.
#include "app/starter/score/score_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include <libxml/parser.h>
#include <libxml/xmlstring.h>
#include <zip.h>

#include "app/starter/score/score.h"

namespace fs = std::filesystem;

namespace {

// The name of the score inside a compressed file.
const char *const RootName = "score.musicxml";

std::string lowerExtension(const std::string &path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

// Adds a file with the given bytes to an open zip; stored without compression when asked.
bool addZipEntry(zip_t *zip, const char *name, const std::string &bytes, bool stored) {
    zip_source_t *source = zip_source_buffer(zip, bytes.data(), bytes.size(), 0);
    if (!source)
        return false;
    zip_int64_t index = zip_file_add(zip, name, source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    return zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                    0) == 0;
}

// Writes a compressed score: the mimetype first and stored, the container, then the score.
bool writeCompressed(const std::string &path, const std::string &score, std::string &error) {
    std::string container;
    if (!containerDocument(RootName, container, error))
        return false;
    const std::string mimetype = "application/vnd.recordare.musicxml";
    int code = 0;
    zip_t *zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!zip) {
        error = "the file cannot be created";
        return false;
    }
    bool ok = addZipEntry(zip, "mimetype", mimetype, true) &&
              addZipEntry(zip, "META-INF/container.xml", container, false) &&
              addZipEntry(zip, RootName, score, false);
    if (!ok) {
        zip_discard(zip);
        error = "the compressed file could not be put together";
        return false;
    }
    if (zip_close(zip) != 0) {
        zip_discard(zip);
        error = "writing the compressed file failed; make sure the disk is not full";
        return false;
    }
    return true;
}

bool writePlain(const std::string &path, const std::string &score, std::string &error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(score.data(), static_cast<std::streamsize>(score.size()));
    out.close();
    if (!out) {
        error = "writing the file failed; make sure the disk is not full";
        return false;
    }
    return true;
}

}  // namespace

bool isScoreFileName(const std::string &path) {
    std::string ext = lowerExtension(path);
    return ext == ".musicxml" || ext == ".xml" || ext == ".mxl";
}

bool isMidiFileName(const std::string &path) {
    std::string ext = lowerExtension(path);
    return ext == ".mid" || ext == ".midi";
}

bool isKnownOutputName(const std::string &path) {
    return lowerExtension(path).empty() || isMidiFileName(path) || isScoreFileName(path);
}

bool isCompressedScoreName(const std::string &path) {
    return lowerExtension(path) == ".mxl";
}

std::string scoreTitle(const std::string &input) {
    std::string title = fs::path(input).stem().string();
    title.erase(std::remove_if(title.begin(), title.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
                title.end());
    if (xmlCheckUTF8(reinterpret_cast<const xmlChar *>(title.c_str())) == 0)
        std::replace_if(title.begin(), title.end(), [](unsigned char c) { return c >= 0x80; }, '?');
    return title;
}

std::vector<MidiSignature> signaturesLeftOut(const MidiContent &midi, double resolution) {
    std::vector<MidiSignature> out;
    ScoreGrid grid;
    std::string error;
    if (!chooseGrid(midi, resolution, grid, error))
        return out;
    for (size_t i = pickupSteps(midi, grid) > 0 ? 1 : 0; i < midi.signatures.size(); ++i) {
        const MidiSignature &s = midi.signatures[i];
        if (s.numerator != midi.numerator || s.denominatorPower != midi.denominatorPower)
            out.push_back(s);
    }
    return out;
}

bool writeScoreFile(const MidiContent &midi, const ScoreRequest &request, const std::string &path,
                    std::string &error) {
    int measures = 0;
    return writeScoreFile(midi, request, path, error, measures);
}

bool writeScoreFile(const MidiContent &midi, const ScoreRequest &request, const std::string &path,
                    std::string &error, int &measures) {
    Score score;
    std::string document;
    if (!buildScore(midi, request.resolution, request.title, score, error) ||
        !scoreDocument(score, document, error))
        return false;
    measures = static_cast<int>(score.measures.size());
    return request.compressed ? writeCompressed(path, document, error) : writePlain(path, document, error);
}

bool scoreFileWhole(const std::string &path) {
    if (isCompressedScoreName(path)) {
        int code = 0;
        zip_t *zip = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
        if (!zip)
            return false;
        bool holdsScore = zip_name_locate(zip, RootName, 0) >= 0;
        zip_discard(zip);
        return holdsScore;
    }
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    bool whole = doc && xmlDocGetRootElement(doc);
    xmlFreeDoc(doc);
    return whole;
}
