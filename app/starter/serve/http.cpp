// The routes: GET of the page's files from memory, and the API under
// /api/transcriptions. Every answer of the API is JSON; a failure carries one
// sentence in "error".
#include "app/starter/serve/http.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/starter/pipeline/pipeline.h"
#include "app/starter/score/score_file.h"
#include "app/starter/serve/options.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

// Form fields other than the recording are short words and numbers; a form is a handful of them.
constexpr size_t LongestField = 1000;
constexpr size_t MostFields = 64;
const char *const IdPattern = "([0-9a-f]{32})";

void sendJson(httplib::Response &res, int status, const json &body) {
    res.status = status;
    res.set_content(body.dump(1, ' ', false, json::error_handler_t::replace) + "\n", "application/json");
}

void sendError(httplib::Response &res, int status, const std::string &sentence) {
    sendJson(res, status, {{"error", sentence}});
}

std::string contentType(const std::string &path) {
    std::string ext = fs::path(path).extension().string();
    if (ext == ".html")
        return "text/html; charset=utf-8";
    if (ext == ".js")
        return "text/javascript; charset=utf-8";
    if (ext == ".css")
        return "text/css; charset=utf-8";
    if (ext == ".png")
        return "image/png";
    if (ext == ".svg")
        return "image/svg+xml";
    return "application/octet-stream";
}

bool readWhole(const std::string &path, std::string &bytes) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return static_cast<bool>(in);
}

// Refuses a request from a page of another site (its Origin is not this server), and, on loopback,
// one whose Host is not this machine (a name of another site resolved to 127.0.0.1).
httplib::Server::HandlerResponse guard(const ServerSetup &setup, const httplib::Request &req, httplib::Response &res) {
    std::string host = req.get_header_value("Host");
    if (setup.loopbackOnly && !hostNamesThisMachine(host)) {
        sendError(res, 403, "This server answers only requests for this machine (127.0.0.1 or localhost).");
        return httplib::Server::HandlerResponse::Handled;
    }
    bool hasOrigin = req.has_header("Origin");
    std::string origin = req.get_header_value("Origin");
    if ((hasOrigin && origin != "http://" + host) || req.get_header_value("Sec-Fetch-Site") == "cross-site") {
        sendError(res, 403, "Requests from other sites are refused: open the page of this server itself.");
        return httplib::Server::HandlerResponse::Handled;
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    return httplib::Server::HandlerResponse::Unhandled;
}

std::string limitSentence(uint64_t maxUpload) {
    return "The upload is larger than this server takes (" + std::to_string(maxUpload) + " bytes; see --max-upload).";
}

// An upload being read: the recording into its file, the other fields into memory.
struct Upload {
    std::string part;                // the field being read
    std::string name;                // the recording's name as uploaded
    FILE *audio = nullptr;
    bool hasAudio = false;
    bool failed = false;
    uint64_t received = 0;           // bytes of the fields' contents so far
    uint64_t limit = 0;              // --max-upload, which a chunked upload declares no length for
    std::string error;
    std::vector<FormField> fields;
};

bool takeHeader(Upload &u, const httplib::MultipartFormData &header, const std::string &dir) {
    u.part = header.name;
    if (header.name.empty()) {  // no name, or a part header the HTTP library could not read
        u.error = "A part of the form has no field name that can be read; send the recording in the field audio.";
        return false;
    }
    if (header.name == "audio") {
        if (u.hasAudio) {
            u.error = "Send one recording a request, in the field audio.";
            return false;
        }
        u.hasAudio = true;
        u.name = displayName(header.filename);
        u.audio = std::fopen(jobPaths(dir, u.name).input.c_str(), "wb");
        if (!u.audio)
            u.failed = true;
        return u.audio != nullptr;
    }
    if (u.fields.size() >= MostFields) {
        u.error = "The form has too many fields.";
        return false;
    }
    u.fields.emplace_back(header.name, "");
    return true;
}

// An upload still arriving when the server is asked to stop is dropped: a client sending slowly
// must not hold the stop back. One sent in chunks stops at the limit, as one of a declared length.
bool takeContent(Upload &u, const char *data, size_t length) {
    if (stopRequested)
        return false;
    u.received += length;
    if (u.received > u.limit)
        return false;
    if (u.part == "audio") {
        bool ok = std::fwrite(data, 1, length, u.audio) == length;
        u.failed = u.failed || !ok;
        return ok;
    }
    std::string &value = u.fields.back().second;
    if (value.size() + length > LongestField) {
        u.error = "The field " + u.part + " is too long.";
        return false;
    }
    value.append(data, length);
    return true;
}

// Reads a multipart upload into dir; false with the status and sentence of the refusal.
bool readUpload(const httplib::Request &req, const httplib::ContentReader &reader, const std::string &dir, Upload &u,
                int &status, const httplib::Response &res) {
    status = 400;
    if (!req.is_multipart_form_data()) {
        u.error = "Send the recording as multipart/form-data, in the field audio.";
        return false;
    }
    bool read = reader([&](const httplib::MultipartFormData &h) { return takeHeader(u, h, dir); },
                       [&](const char *data, size_t length) { return takeContent(u, data, length); });
    if (u.audio && std::fclose(u.audio) != 0)
        u.failed = true;
    u.audio = nullptr;
    if (u.failed) {
        status = 507;
        u.error = "The server could not store the upload; make sure its disk is not full.";
        return false;
    }
    if (!read && stopRequested) {
        status = 503;
        u.error = "The server is stopping; the upload was dropped.";
    }
    if (!read && (res.status == 413 || u.received > u.limit)) {  // the reader or we stopped at the limit
        status = 413;
        u.error = limitSentence(u.limit);
    }
    if (!read && u.error.empty())
        u.error = "The upload ended before it was complete.";
    if (read && !u.hasAudio)
        u.error = "Send the recording in the field audio.";
    return u.error.empty();
}

void postTranscription(const ServerSetup &setup, const httplib::Request &req, httplib::Response &res,
                       const httplib::ContentReader &reader) {
    std::string dir = makeJobFolder(*setup.table);
    if (dir.empty()) {
        sendError(res, 503, "The server is stopping, or could not make a folder for the upload.");
        return;
    }
    Upload upload;
    upload.limit = setup.maxUpload;
    int status = 400;
    auto job = std::make_shared<ServerJob>();
    std::string error;
    if (!readUpload(req, reader, dir, upload, status, res)) {
        error = upload.error;
    } else {
        job->dir = dir;
        job->name = upload.name;
        job->paths = jobPaths(dir, upload.name);
        if (planFromForm(upload.fields, job->paths, scoreTitle(upload.name), setup.dataDir, setup.enginePath,
                         job->plan, error))
            job->job.file = job->plan.files.front();
        else
            error = publicText(error, *job);
    }
    if (!error.empty()) {
        std::error_code ec;
        fs::remove_all(dir, ec);
        sendError(res, status, error);
        return;
    }
    std::string id = enqueue(*setup.table, job);
    res.set_header("Location", "/api/transcriptions/" + id);
    sendJson(res, 201, {{"id", id}});
}

json viewJson(const JobView &v) {
    auto orNull = [](const std::string &s) { return s.empty() ? json(nullptr) : json(s); };
    return {{"id", v.id}, {"name", v.name}, {"state", v.state}, {"stage", orNull(v.stage)},
            {"progress", std::round(v.progress * 1000) / 1000}, {"summary", orNull(v.summary)},
            {"error", orNull(v.error)}};
}

void getTranscription(const ServerSetup &setup, const httplib::Request &req, httplib::Response &res) {
    JobView view;
    if (!viewJob(*setup.table, req.matches[1], view))
        return sendError(res, 404, "There is no transcription " + std::string(req.matches[1]) + ".");
    sendJson(res, 200, viewJson(view));
}

// The Content-Disposition of a download named name: a plain ASCII name for every client (other
// bytes as '_'), and the name itself, UTF-8 percent-encoded, for the clients that read filename*.
std::string attachmentHeader(const std::string &name) {
    std::string plain, encoded;
    const char *hex = "0123456789ABCDEF";
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        plain += c == '"' || c == '\\' || byte >= 0x80 ? '_' : c;
        if (std::isalnum(byte) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos)
            encoded += c;
        else
            encoded += {'%', hex[byte >> 4], hex[byte & 15]};
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

void getResult(const ServerSetup &setup, const httplib::Request &req, httplib::Response &res) {
    std::string id = req.matches[1], file = req.matches[2];
    JobView view;
    if (!viewJob(*setup.table, id, view))
        return sendError(res, 404, "There is no transcription " + id + ".");
    std::string path = resultPath(*setup.table, id, file), bytes;
    if (path.empty() || !readWhole(path, bytes))
        return sendError(res, 409, "The transcription " + id + " has no " + file + " (it is " + view.state + ").");
    std::string type = file == "result.mid" ? "audio/midi"
                       : file == "notes.json" ? "application/json" : "application/vnd.recordare.musicxml+xml";
    std::string stem = fs::path(view.name).stem().string();
    std::string download = file == "result.mid" ? stem + ".mid" : file == "notes.json" ? stem + ".json"
                                                                                       : stem + ".musicxml";
    res.set_header("Content-Disposition", attachmentHeader(download));
    res.set_content(bytes, type.c_str());
}

void deleteTranscription(const ServerSetup &setup, const httplib::Request &req, httplib::Response &res) {
    std::string id = req.matches[1];
    switch (removeJob(*setup.table, id)) {
    case Removal::NoSuchJob: return sendError(res, 404, "There is no transcription " + id + ".");
    case Removal::Cancelling: return sendJson(res, 202, {{"id", id}, {"state", "cancelling"}});
    case Removal::Removed: res.status = 204; return;
    }
}

}  // namespace

bool loadAssets(const std::string &dir, std::map<std::string, std::string> &assets, std::string &error) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file())
            continue;
        std::string bytes, url = "/" + fs::relative(it->path(), dir).generic_string();
        if (readWhole(it->path().string(), bytes))
            assets[url == "/index.html" ? "/" : url] = bytes;
    }
    if (!assets.count("/")) {
        error = "The page's files were not found in " + dir + "; name their folder with --web.";
        return false;
    }
    return true;
}

void setRoutes(httplib::Server &server, const ServerSetup &setup) {
    server.set_payload_max_length(setup.maxUpload);
    server.set_pre_routing_handler([&setup](const httplib::Request &req, httplib::Response &res) {
        return guard(setup, req, res);
    });
    server.set_error_handler([&setup](const httplib::Request &, httplib::Response &res) {
        if (res.status == 413)
            sendError(res, 413, limitSentence(setup.maxUpload));
        else if (res.body.empty())
            sendError(res, res.status, "There is nothing here.");
    });
    server.Post("/api/transcriptions", [&setup](const httplib::Request &req, httplib::Response &res,
                                                const httplib::ContentReader &reader) {
        postTranscription(setup, req, res, reader);
    });
    server.Get(std::string("/api/transcriptions/") + IdPattern, [&setup](const httplib::Request &req, httplib::Response &res) {
        getTranscription(setup, req, res);
    });
    server.Get(std::string("/api/transcriptions/") + IdPattern + "/(result\\.mid|result\\.musicxml|notes\\.json)",
               [&setup](const httplib::Request &req, httplib::Response &res) { getResult(setup, req, res); });
    server.Delete(std::string("/api/transcriptions/") + IdPattern,
                  [&setup](const httplib::Request &req, httplib::Response &res) { deleteTranscription(setup, req, res); });
    server.Get(".*", [&setup](const httplib::Request &req, httplib::Response &res) {
        auto found = setup.assets.find(req.path);
        if (found == setup.assets.end())
            return sendError(res, 404, "There is nothing here.");
        res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data: blob:; "
                                                  "media-src 'self' blob:; style-src 'self' 'unsafe-inline'");
        res.set_content(found->second, contentType(req.path == "/" ? "index.html" : req.path).c_str());
    });
}
