#include "local_address.h"
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::string chooseLocalAddress(const std::vector<InterfaceAddress>& addresses) {
    std::string loopback;
    for (const InterfaceAddress& a : addresses) {
        if (!a.up) continue;
        if (!a.loopback) return a.dotted;
        if (loopback.empty()) loopback = a.dotted;
    }
    return loopback;
}

int GetLocalAddress(std::string& address) {
    // The host name often resolves to a loopback address (Debian's
    // /etc/hosts maps it to 127.0.1.1), which tells a remote client nothing;
    // the interfaces themselves say where the server can be reached.
    address.clear();
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return -1;
    std::vector<InterfaceAddress> found;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (!inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) continue;
        const bool loopback = (i->ifa_flags & IFF_LOOPBACK) || (ntohl(ipv4->sin_addr.s_addr) >> 24) == 127;
        found.push_back({text, (i->ifa_flags & IFF_UP) != 0, loopback});
    }
    freeifaddrs(interfaces);
    address = chooseLocalAddress(found);
    return address.empty() ? -1 : 0;
}
