// quillmark --headless: the server without a window, for servers and robots.
#include "headless.h"
#include <pthread.h>
#include <signal.h>
#include <cstdio>
#include <boost/system/system_error.hpp>
#include "network.h"
#include "protocol.h"
#include "server_state.h"

namespace {

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

bool parseHeadlessOptions(const Args& args, HeadlessOptions& options, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option != "--port" && option != "--mode" && option != "--fields" && option != "--camera") {
            error = "unknown option \"" + option + "\"";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = option + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (option == "--port") {
            if (!parsePort(value, options.port)) {
                error = "--port needs a number from 0 to 65535, not \"" + value + "\"";
                return false;
            }
        } else if (option == "--mode") {
            if (value != "automatic" && value != "command") {
                error = "--mode is automatic or command, not \"" + value + "\"";
                return false;
            }
            options.automatic = value == "automatic";
        } else if (option == "--fields") {
            std::string fieldError;
            if (!parseFieldList(value, options.format, fieldError)) {
                error = "--fields: " + fieldError;
                return false;
            }
        } else {
            options.camera = value;
        }
    }
    return true;
}

int runHeadless(const Args& args) {
    HeadlessOptions options;
    std::string error;
    if (!parseHeadlessOptions(args, options, error)) {
        std::fprintf(stderr, "quillmark: %s\n", error.c_str());
        printUsage("quillmark");
        return 2;
    }
    if (options.camera != "none") {
        std::fprintf(stderr, "quillmark: camera \"%s\" is not available yet; run with --camera none\n",
                     options.camera.empty() ? "default" : options.camera.c_str());
        return 1;
    }

    // Blocked before any thread exists, so every thread inherits the mask and
    // the signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    setActiveDataFormat(options.format);
    AutomaticModeFlag = options.automatic;
    publishResults({});
    setServerActive(true);
    Network server;
    try {
        server.start(options.port, serveClient);
    } catch (const boost::system::system_error& e) {
        setServerActive(false);
        std::fprintf(stderr, "quillmark: cannot listen on port %d: %s\n", options.port,
                     e.code().message().c_str());
        return 1;
    }
    std::printf("Listening on port %d\n", server.port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    // Connections see ServerActive false at their next pass; then no new ones.
    setServerActive(false);
    server.stop();
    // Automatic-Mode connections leave within a pass; Command-Mode ones may
    // wait on a silent client and are ended by the exit itself.
    Network::waitForLiveConnections(0, 3 * PASS_INTERVAL_MS);
    std::fflush(stdout);
    return 0;
}
