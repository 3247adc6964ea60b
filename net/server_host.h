#pragma once
// The part of a tracking host that every driver shares: the client server
// it starts and stops for the worker. The dialog and the headless mode add
// their controls on top.
#include <string>
#include "network.h"
#include "tracking_worker.h"

class ServingTrackingHost : public TrackingHost {
public:
    bool startServer(int port, std::string& error) override;
    void stopServer() override;
    // The port listened on while the server runs, 0 otherwise.
    int port() const { return network_.port(); }

protected:
    Network network_;
};
