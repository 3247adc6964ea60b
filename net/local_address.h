#pragma once
// The address the IP box shows: where a remote client reaches this host.
#include <string>
#include <vector>

// One IPv4 address of a network interface of this host.
struct InterfaceAddress {
    std::string dotted; // e.g. "192.168.1.20"
    bool up = false;
    bool loopback = false;
};

// The address a remote client would reach this host at: the first one of
// an interface that is up and not loopback; a loopback address only when
// there is no other. Empty when `addresses` holds none that is up.
std::string chooseLocalAddress(const std::vector<InterfaceAddress>& addresses);

// The server listens on every interface, so the IP box shows the address of
// chooseLocalAddress among the host's interfaces as dotted text; 0, or -1
// when the host has none (`address` is then empty).
int GetLocalAddress(std::string& address);
