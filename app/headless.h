#pragma once
// The headless server's command line, kept apart from running it so other
// sources of defaults (the configuration file) can fill the options first.
#include <string>
#include "commands.h"
#include "report.h"

struct HeadlessOptions {
    int port = 0;  // 0: the system picks a free port
    bool automatic = true;
    DataFormat format;
    std::string camera;  // empty: the default camera; "none": serve an empty table
};

// Applies --port, --mode, --fields and --camera from `args` on top of what
// `options` already holds. False, with the reason in `error`, on anything
// it does not understand.
bool parseHeadlessOptions(const Args& args, HeadlessOptions& options, std::string& error);
