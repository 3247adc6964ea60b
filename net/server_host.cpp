#include "server_host.h"
#include <boost/system/system_error.hpp>
#include <cstdio>
#include "protocol.h"

bool ServingTrackingHost::startServer(int port, std::string& error) {
    try {
        network_.start(port, serveClient);
        return true;
    } catch (const boost::system::system_error& e) {
        error = "The server cannot listen on port " + std::to_string(port) + ": " + e.code().message();
    } catch (const std::exception& e) {
        error = "The server cannot listen on port " + std::to_string(port) + ": " + e.what();
    }
    return false;
}

void ServingTrackingHost::stopServer() {
    try {
        network_.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Stopping the server: %s\n", e.what());
    }
}
