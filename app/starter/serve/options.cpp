// The options of sonoscriptor serve, read with CLI11.
#include "app/starter/serve/options.h"

#include <limits>

#include <arpa/inet.h>

#include <CLI/CLI.hpp>

namespace {

// A count of bytes is never negative: read as unsigned, "-1" would wrap round to no limit at all.
const CLI::Validator NotNegative(
    [](std::string &value) { return value.rfind('-', 0) == 0 ? "Value " + value + " is negative" : std::string(); }, "");

void defineServeOptions(CLI::App &app, ServeOptions &o) {
    app.set_help_flag("-h,--help", "show this help");
    app.description("Serve a page and a JSON API that transcribe uploaded recordings, on this\n"
                    "machine only unless --host says otherwise. Ctrl-C stops it and removes every\n"
                    "upload and result.\n");
    app.add_option("--host", o.host, "address to listen on (default 127.0.0.1; another\naddress lets other machines upload)")
        ->type_name("ADDRESS");
    app.add_option("--port", o.port, "port to listen on, 0 for any free one (default 8765)")
        ->type_name("PORT")->check(CLI::Range(0, 65535).description(""));
    app.add_option("--max-upload", o.maxUpload, "largest upload in bytes, answered with 413 above it\n(default 1000000000)")
        ->type_name("BYTES")->check(NotNegative)->check(CLI::Range(static_cast<uint64_t>(1), std::numeric_limits<uint64_t>::max()).description(""));
    app.add_option("-j,--jobs", o.jobs, "transcriptions at once (default: the cores)")
        ->type_name("N")->check(CLI::Range(1, 1024).description(""));
    app.add_option("--web", o.webDir, "the page's files (default: the installed ones)")->type_name("DIR");
    app.add_option("--engine", o.enginePath, "the engine to run (default: sonoscriptor-engine\nbeside this program)")
        ->type_name("PATH");
}

}  // namespace

bool parseServeOptions(const std::vector<std::string> &args, ServeOptions &options, std::string &error) {
    CLI::App app{"", "sonoscriptor serve"};
    defineServeOptions(app, options);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp &) {
        options.help = true;
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    return true;
}

std::string serveHelp() {
    CLI::App app{"", "sonoscriptor serve"};
    ServeOptions options;
    defineServeOptions(app, options);
    return app.help();
}

bool isLoopback(const std::string &host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool hostNamesThisMachine(const std::string &hostHeader) {
    std::string name = hostHeader.rfind('[', 0) == 0 ? hostHeader.substr(0, hostHeader.find(']') + 1)
                                                     : hostHeader.substr(0, hostHeader.find(':'));
    in_addr address{};
    bool loopbackNumber = inet_pton(AF_INET, name.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
    return name == "localhost" || name == "[::1]" || loopbackNumber;
}
