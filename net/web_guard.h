#pragma once
// Which requests come from the page's own address. A page of another site
// open in the operator's browser may open our feeds (WebSockets have no
// same-origin rule) and, through a name of its own that it points at this
// machine (DNS rebinding), read /api/*: the browser says both in the
// Origin and Host headers, which must name the address the page is served
// on, or a host the operator allowed.
#include <string>
#include <vector>

class WebHostGuard {
public:
    // `boundHost`: the address listened on (0.0.0.0 or :: for every
    // interface). `allowed`: "HOST" (any port) or "HOST:PORT" entries.
    WebHostGuard(const std::string& boundHost, const std::vector<std::string>& allowed);
    void setPort(int port) { port_ = port; }

    // Empty when the request may be served, else why not (for the 403).
    // Null: the header was not sent; a missing Host is refused.
    std::string refusal(const std::string* host, const std::string* origin) const;

private:
    struct Name {
        std::string host;
        int port;  // -1: any
    };
    bool allows(const std::string& host, int port) const;

    std::vector<Name> allowed_;
    std::vector<std::string> ownNames_;
    bool everyInterface_ = false;
    int port_ = 0;
};

// Reads "HOST[:PORT],..." for --http-allow; false with the reason,
// prefixed by `option`.
bool parseWebAllow(const std::string& text, const std::string& option, std::vector<std::string>& hosts,
                   std::string& error);
