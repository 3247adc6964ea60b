#include "web_guard.h"
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <boost/asio/ip/address.hpp>

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// "name", "name:port", "[v6]" or "[v6]:port"; the name lowered, without a
// final dot, an address in its usual spelling. Port -1 when none is given.
bool splitHostPort(const std::string& text, std::string& host, int& port) {
    port = -1;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) return false;
        host = text.substr(0, colon);
        if (colon != std::string::npos) rest = text.substr(colon);
    }
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6 ||
            !std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        port = std::stoi(rest.substr(1));
        if (port > 65535) return false;
    }
    host = lowered(host);
    if (!host.empty() && host.back() == '.') host.pop_back();
    boost::system::error_code notAddress;
    const auto address = boost::asio::ip::make_address(host, notAddress);
    if (!notAddress) host = address.to_string();
    return !host.empty() && host.find_first_of(" \t/\\@") == std::string::npos;
}

bool isInterfaceAddress(const std::string& host) {
    boost::system::error_code notAddress;
    const auto wanted = boost::asio::ip::make_address(host, notAddress);
    if (notAddress) return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr) continue;
        if (a->ifa_addr->sa_family == AF_INET && wanted.is_v4()) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            found = ntohl(in->sin_addr.s_addr) == wanted.to_v4().to_uint();
        } else if (a->ifa_addr->sa_family == AF_INET6 && wanted.is_v6()) {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            boost::asio::ip::address_v6::bytes_type bytes;
            std::copy(in->sin6_addr.s6_addr, in->sin6_addr.s6_addr + 16, bytes.begin());
            found = boost::asio::ip::address_v6(bytes) == wanted.to_v6();
        }
    }
    freeifaddrs(list);
    return found;
}

} // namespace

WebHostGuard::WebHostGuard(const std::string& boundHost, const std::vector<std::string>& allowed) {
    for (const std::string& entry : allowed) {
        Name name;
        if (splitHostPort(entry, name.host, name.port)) allowed_.push_back(name);
    }
    boost::system::error_code notAddress;
    const auto bound = boost::asio::ip::make_address(boundHost, notAddress);
    everyInterface_ = !notAddress && bound.is_unspecified();
    if (!notAddress && !bound.is_unspecified()) ownNames_.push_back(bound.to_string());
    if (notAddress || bound.is_loopback() || bound.is_unspecified())
        ownNames_.insert(ownNames_.end(), {"localhost", "127.0.0.1", "::1"});
    // The machine's own name, as a person on the network types it.
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
        ownNames_.push_back(lowered(name));
        ownNames_.push_back(lowered(name) + ".local");
    }
}

bool WebHostGuard::allows(const std::string& host, int port) const {
    for (const Name& name : allowed_) {
        if (name.host == host && (name.port < 0 || name.port == port)) return true;
    }
    if (port != port_) return false;
    if (std::find(ownNames_.begin(), ownNames_.end(), host) != ownNames_.end()) return true;
    return everyInterface_ && isInterfaceAddress(host);
}

std::string WebHostGuard::refusal(const std::string* host, const std::string* origin) const {
    std::string name;
    int port = -1;
    if (!host) return "Forbidden: the request names no Host\n";
    if (!splitHostPort(*host, name, port) || !allows(name, port < 0 ? 80 : port))
        return "Forbidden: Host \"" + *host + "\" is not an address this page is served on (quillmark --http-allow " +
               (name.empty() ? *host : name) + " lets it in)\n";
    if (!origin) return {};
    const std::string text = lowered(*origin);
    const bool secure = text.rfind("https://", 0) == 0;
    const std::size_t begin = secure ? 8 : text.rfind("http://", 0) == 0 ? 7 : std::string::npos;
    if (begin == std::string::npos || !splitHostPort(origin->substr(begin), name, port) ||
        !allows(name, port < 0 ? (secure ? 443 : 80) : port))
        return "Forbidden: a page from " + *origin + " may not read this tracker (quillmark --http-allow " +
               (name.empty() ? *origin : name) + " lets it in)\n";
    return {};
}

bool parseWebAllow(const std::string& text, const std::string& option, std::vector<std::string>& hosts,
                   std::string& error) {
    std::vector<std::string> read;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = std::min(text.find(',', begin), text.size());
        const std::string entry = text.substr(begin, comma - begin);
        std::string host;
        int port = -1;
        if (entry.empty() || !splitHostPort(entry, host, port)) {
            error = option + ": \"" + entry + "\" is not HOST or HOST:PORT (a list is HOST,HOST:PORT,...)";
            return false;
        }
        read.push_back(entry);
        if (comma == text.size()) break;
        begin = comma + 1;
    }
    hosts = read;
    return true;
}
