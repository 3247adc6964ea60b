#pragma once
// The operator's page for a running server: what it is told of the camera,
// the catalogue and the other outputs.
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "pattern_entry.h"
#include "tracking_worker.h"
#include "web_output.h"

// Starts serving on `options` (the caller has checked that the page is on).
// Null with the reason, prefixed by `option`, in `error` when it cannot
// listen. `outputs` are the run's TUIO and MQTT outputs, whose state the
// page shows. A fusion node gives `fusion` instead: its camera nodes for
// the page's table of them and its broker's state (asked on the page's
// thread).
struct WebFusion {
    std::function<std::vector<JsonNodeRow>()> nodes;
    std::function<std::string()> mqtt;
};
std::shared_ptr<WebOutput> startWebPage(const WebOptions& options, const std::string& option,
                                        const Catalogue& catalogue, const std::string& camera,
                                        const std::vector<std::shared_ptr<FrameOutput>>& outputs, std::string& error,
                                        WebFusion fusion = {});

// "http://HOST:PORT/" of a started page.
std::string webPageAddress(const WebOptions& options, int port);
