#pragma once
// For tests that drive widgets and workers: the application object and
// waiting while events flow.
#include <functional>

// The one QApplication of the test process (offscreen platform).
void ensureApplication();

// Serves events until `condition` holds; false if it never does within a
// generous bound (a hang, not a timing assertion).
bool waitUntil(const std::function<bool()>& condition);

// A fixture's first member, so widgets among the later members find the
// application already there.
struct ApplicationFirst {
    ApplicationFirst() { ensureApplication(); }
};
